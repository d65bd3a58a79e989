#include "link/port_source.h"

#include <cstdlib>
#include <mutex>

#include "link/com_port_name.h"
#include "link/port_map_source.h"

namespace vek {
namespace {

std::mutex source_mutex;
std::string chosen_port_map;
std::shared_ptr<PortSource> system_source;

// Stands in for the system's device list until one is installed: no ports.
class NoPorts : public PortSource {
 public:
  std::vector<PortEntry> ListPorts() override { return {}; }
};

}  // namespace

void SetPortMapPath(const std::string& path) {
  std::lock_guard lock(source_mutex);
  chosen_port_map = path;
}

std::optional<std::string> ActivePortMapPath() {
  {
    std::lock_guard lock(source_mutex);
    if (!chosen_port_map.empty()) return chosen_port_map;
  }
  const char* env = std::getenv("VEK_PORT_MAP");
  if (env != nullptr && *env != '\0') return std::string(env);
  return std::nullopt;
}

void SetSystemPortSource(std::shared_ptr<PortSource> source) {
  std::lock_guard lock(source_mutex);
  system_source = std::move(source);
}

std::shared_ptr<PortSource> ActivePortSource() {
  if (auto map = ActivePortMapPath()) return std::make_shared<PortMapSource>(*map);
  std::lock_guard lock(source_mutex);
  if (system_source) return system_source;
  return std::make_shared<NoPorts>();
}

namespace {

std::optional<PortEntry> FindPortNumber(uint32_t number) {
  if (number == 0) return std::nullopt;
  for (PortEntry& entry : ActivePortSource()->ListPorts()) {
    if (ComNumberOfName(entry.friendly_name) == number) return std::move(entry);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> ResolvePortNumber(uint32_t number) {
  if (auto entry = FindPortNumber(number)) return std::move(entry->device_path);
  return std::nullopt;
}

std::optional<std::string> ResolveUsbPath(uint32_t number) {
  if (auto entry = FindPortNumber(number)) return std::move(entry->usb_path);
  return std::nullopt;
}

}  // namespace vek
