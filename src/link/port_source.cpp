#include "link/port_source.h"

#include <cstdlib>
#include <mutex>
#include <vector>

#include "link/com_port_name.h"
#include "link/port_map_source.h"

namespace vek {
namespace {

std::mutex source_mutex;
std::string chosen_port_map;
std::shared_ptr<PortSource> system_source;
std::string chosen_module;

// Stands in for the system's device list until one is installed: no ports.
class NoPorts : public PortSource {
 public:
  std::vector<PortEntry> ListPorts() override { return {}; }
};

// The ports of one module: those whose USB path is the chosen one (a port
// whose path is unknown belongs to no module that could be chosen).
class OneModulePorts : public PortSource {
 public:
  OneModulePorts(std::shared_ptr<PortSource> all, std::string usb_path)
      : all_(std::move(all)), usb_path_(std::move(usb_path)) {}
  std::vector<PortEntry> ListPorts() override {
    std::vector<PortEntry> ports = all_->ListPorts();
    std::erase_if(ports, [this](const PortEntry& port) { return port.usb_path != usb_path_; });
    return ports;
  }

 private:
  std::shared_ptr<PortSource> all_;
  std::string usb_path_;
};

// Every port, whatever module it belongs to.
std::shared_ptr<PortSource> AllPorts() {
  if (auto map = ActivePortMapPath()) return std::make_shared<PortMapSource>(*map);
  std::lock_guard lock(source_mutex);
  if (system_source) return system_source;
  return std::make_shared<NoPorts>();
}

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

void ChooseModuleUsbPath(const std::string& usb_path) {
  std::lock_guard lock(source_mutex);
  chosen_module = usb_path;
}

std::string ChosenModuleUsbPath() {
  std::lock_guard lock(source_mutex);
  return chosen_module;
}

std::shared_ptr<PortSource> ActivePortSource() {
  std::shared_ptr<PortSource> all = AllPorts();
  std::string module = ChosenModuleUsbPath();
  if (module.empty()) return all;
  return std::make_shared<OneModulePorts>(std::move(all), std::move(module));
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
