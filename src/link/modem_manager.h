// Services that probe serial ports they think belong to a modem. While one runs
// it may open the module's ports in the middle of a download; VEK's udev rules
// mark the module's ports to be left alone (ID_MM_DEVICE_IGNORE).
#pragma once

#include <optional>
#include <string>

#include "link/process_scan.h"

namespace vek {

// The file VEK installs its udev rules as.
inline constexpr char kUdevRulesName[] = "70-vek.rules";

struct ModemManagerService {
  const char* comm;          // its process's short name
  const char* stop_command;  // the one command that stops it
};

inline constexpr ModemManagerService kModemManagers[] = {
    {"ModemManager", "sudo systemctl stop ModemManager"},
};

struct RunningModemManager {
  ProcessInfo process;
  const ModemManagerService* service = nullptr;
};

// The first modem manager found running, if any.
std::optional<RunningModemManager> FindRunningModemManager(const std::string& proc_root = kProcRoot);

// The service whose process name is `comm`, or nullptr.
const ModemManagerService* ModemManagerNamed(const std::string& comm);

}  // namespace vek
