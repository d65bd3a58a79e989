#include "link/port_map_source.h"

#include "link/small_file.h"
#include "link/usb_port_path.h"

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
    std::string_view name = line.substr(tab + 1);
    // An optional third field: the USB port path. A line whose third field is
    // not a well-formed path is skipped whole, as every line with a third field
    // was before the field existed.
    std::string_view usb_path;
    if (const auto second_tab = name.find('\t'); second_tab != std::string_view::npos) {
      usb_path = name.substr(second_tab + 1);
      name = name.substr(0, second_tab);
      if (!IsUsbPortPath(usb_path)) continue;
    }
    if (name.empty() || name.size() > kMaxFriendlyName || path.size() > kMaxDevicePath) continue;
    if (path.front() != '/' || HasControlCharacters(path) || HasControlCharacters(name)) continue;
    entries.push_back(PortEntry{std::string(name), std::string(path), std::string(usb_path)});
  }
  return entries;
}

std::vector<PortEntry> PortMapSource::ListPorts() { return ParsePortMap(ReadSmallFile(path_, kMaxPortMapBytes, TooLarge::kNothing)); }

}  // namespace vek
