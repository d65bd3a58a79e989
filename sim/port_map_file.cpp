#include "sim/port_map_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace sim {

bool WritePortMapFile(const std::string& path, const std::vector<vek::PortEntry>& entries) {
  std::string text = "# ports of the simulated module: DEVICE_PATH<TAB>FRIENDLY NAME\n";
  for (const auto& entry : entries) text += entry.device_path + "\t" + entry.friendly_name + "\n";
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
