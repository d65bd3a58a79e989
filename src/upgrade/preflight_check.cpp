#include "upgrade/preflight_check.h"

#include "link/modem_manager.h"
#include "link/port_source.h"

namespace vek {

std::string ModemManagerWarning(const std::vector<std::string>& port_paths, const PreflightSources& sources) {
  const auto manager = FindRunningModemManager(sources.proc_root);
  if (!manager) return {};
  bool exposed = false;
  for (const std::string& path : port_paths) {
    const PortUdevRecord record = sources.read_record(path);
    if (record.found && !record.modem_manager_ignore) exposed = true;
  }
  if (!exposed) return {};
  return std::string(manager->service->comm) + " is running and may probe the module's ports: install VEK's udev rules (" +
         kUdevRulesName + ") or run `" + manager->service->stop_command + "`";
}

std::vector<std::string> ModulePortPaths(const DeviceInfo& device) {
  std::vector<std::string> paths;
  for (const uint32_t number : {device.diag_port.load(), device.at_port.load(), device.nmea_port.load()}) {
    if (number == 0) continue;
    if (const auto path = ResolvePortNumber(number)) paths.push_back(*path);
  }
  return paths;
}

void RunPreflightCheck(UpgradeJob& job, const PreflightSources& sources) {
  const std::string warning = ModemManagerWarning(ModulePortPaths(TheDevice()), sources);
  if (warning.empty()) return;
  job.show_status("%s", warning.c_str());
  job.write_log("%s", warning.c_str());
}

}  // namespace vek
