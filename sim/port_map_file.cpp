#include "sim/port_map_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace sim {

bool ValidUsbPath(const std::string& path) {
  // Numbers joined by one '-' and then by '.'s, each separator between two numbers.
  bool seen_dash = false;
  bool after_number = false;
  for (char c : path) {
    if (c >= '0' && c <= '9') {
      after_number = true;
    } else if ((c == '-' && !seen_dash) || (c == '.' && seen_dash)) {
      if (!after_number) return false;
      seen_dash = seen_dash || c == '-';
      after_number = false;
    } else {
      return false;
    }
  }
  return seen_dash && after_number && path.size() <= 64;
}

bool WritePortMapFile(const std::string& path, const std::vector<vek::PortEntry>& entries) {
  bool with_usb = false;
  for (const auto& entry : entries) {
    if (entry.usb_path.empty()) continue;
    if (!ValidUsbPath(entry.usb_path)) return false;
    with_usb = true;
  }
  std::string text = with_usb ? "# ports of the simulated module: DEVICE_PATH<TAB>FRIENDLY NAME<TAB>USB_PATH\n"
                              : "# ports of the simulated module: DEVICE_PATH<TAB>FRIENDLY NAME\n";
  for (const auto& entry : entries) {
    text += entry.device_path + "\t" + entry.friendly_name;
    if (!entry.usb_path.empty()) text += "\t" + entry.usb_path;
    text += "\n";
  }
  const std::string temporary = path + ".tmp." + std::to_string(getpid());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace sim
