#include "link/modem_manager.h"

namespace vek {

std::optional<RunningModemManager> FindRunningModemManager(const std::string& proc_root) {
  for (const ModemManagerService& service : kModemManagers) {
    const auto processes = ProcessesNamed(proc_root, service.comm);
    if (!processes.empty()) return RunningModemManager{processes.front(), &service};
  }
  return std::nullopt;
}

const ModemManagerService* ModemManagerNamed(const std::string& comm) {
  for (const ModemManagerService& service : kModemManagers)
    if (comm == service.comm) return &service;
  return nullptr;
}

}  // namespace vek
