// What a front end sets up before its Session, and vek-probe's probe.
#include <unistd.h>

#include <string>

#include "app/debug_output.h"
#include "app/single_instance.h"
#include "device/session.h"
#include "link/com_port_name.h"
#include "link/console_output.h"
#include "link/port_source.h"
#include "link/serial_port.h"
#include "link/udev_port_source.h"
#include "protocol/mode_probe.h"

namespace vek {

void SendDebugOutputToStandardError(bool on) { UseDebugOutput(on ? DebugOutput::kStandardError : DebugOutput::kNone); }

void SendConsoleToStandardError() { SetConsoleOutput(STDERR_FILENO); }

void ChoosePortSource(const std::string& port_map) {
  if (!port_map.empty()) SetPortMapPath(port_map);
  if (!ActivePortMapPath()) InstallSystemPortSource();
}

InstanceLock::InstanceLock() : lock_(std::make_unique<SingleInstance>()) {}
InstanceLock::~InstanceLock() = default;
bool InstanceLock::held() const { return lock_->acquired(); }
const char* InstanceLock::AlreadyRunningText() { return kAlreadyRunningText; }

DiagProbe ProbeDiagPort() {
  DiagProbe probe;
  for (const auto& port : ActivePortSource()->ListPorts()) {
    if (port.friendly_name.find("Diagnostics") == std::string::npos) continue;
    if (auto number = ComNumberOfName(port.friendly_name)) probe.port = *number;
  }
  if (probe.port == 0) return probe;
  if (!OpenDiagPort(probe.port)) {
    probe.result = DiagProbe::Result::kCannotOpen;
    return probe;
  }
  const TargetMode mode = ProbeMode();
  CloseDiagPort();
  probe.result = DiagProbe::Result::kProbed;
  probe.answered = mode != TARGET_UNSPECIFIED;
  probe.mode_name = TargetModeName(mode);
  return probe;
}

}  // namespace vek
