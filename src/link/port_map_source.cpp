#include "link/port_map_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vek {
namespace {

// A port map is a few lines; anything far larger is not one.
constexpr size_t kMaxPortMapBytes = 1 << 20;
constexpr size_t kMaxDevicePath = 4095;

bool HasControlCharacters(std::string_view text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

std::string ReadSmallFile(const std::string& path) {
  std::string text;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return text;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    char buffer[8192];
    for (;;) {
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, static_cast<size_t>(n));
      if (text.size() > kMaxPortMapBytes) {
        text.clear();
        break;
      }
    }
  }
  close(fd);
  return text;
}

}  // namespace

std::vector<PortEntry> ParsePortMap(std::string_view text) {
  std::vector<PortEntry> entries;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    const auto tab = line.find('\t');
    if (tab == std::string_view::npos || tab == 0) continue;
    const std::string_view path = line.substr(0, tab);
    const std::string_view name = line.substr(tab + 1);
    if (name.empty() || name.size() > kMaxFriendlyName || path.size() > kMaxDevicePath) continue;
    if (path.front() != '/' || HasControlCharacters(path) || HasControlCharacters(name)) continue;
    entries.push_back(PortEntry{std::string(name), std::string(path)});
  }
  return entries;
}

std::vector<PortEntry> PortMapSource::ListPorts() { return ParsePortMap(ReadSmallFile(path_)); }

}  // namespace vek
