// What a front end sets up before its Session, and vek-probe's probe.
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>

#include "app/debug_output.h"
#include "app/single_instance.h"
#include "device/session.h"
#include "link/com_port_name.h"
#include "link/console_output.h"
#include "link/port_source.h"
#include "link/serial_port.h"
#include "link/udev_port_source.h"
#include "link/usb_port_path.h"
#include "protocol/mode_probe.h"

namespace vek {

void SendDebugOutputToStandardError(bool on) { UseDebugOutput(on ? DebugOutput::kStandardError : DebugOutput::kNone); }

void SendConsoleToStandardError() { SetConsoleOutput(STDERR_FILENO); }

// A module's IMEI and NV items are its owner's. An umask that lets others read
// (022 or 002, a shell's) becomes 077: files 0600, folders 0700. One that keeps
// others out already (the service's 0027) was set with its group in mind, and
// the group's read stays.
void KeepFilesPrivate() {
  const mode_t mask = umask(077);
  if ((mask & 007) == 007) umask(mask);
}

void ChoosePortSource(const std::string& port_map) {
  if (!port_map.empty()) SetPortMapPath(port_map);
  if (!ActivePortMapPath()) InstallSystemPortSource();
}

namespace {

// "COM<n>": the port's number, 1 to 9 digits and not 0, nothing after it.
std::optional<uint32_t> ComPortOfName(std::string_view where) {
  constexpr std::string_view kCom = "COM";
  constexpr size_t kMaxDigits = 9;
  if (!where.starts_with(kCom)) return std::nullopt;
  const std::string_view digits = where.substr(kCom.size());
  if (digits.empty() || digits.size() > kMaxDigits) return std::nullopt;
  uint32_t number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<uint32_t>(c - '0');
  }
  if (number == 0) return std::nullopt;
  return number;
}

}  // namespace

bool IsModuleName(std::string_view where) { return IsUsbPortPath(where) || ComPortOfName(where).has_value(); }

ModuleChoice ChooseModule(std::string_view where) {
  ModuleChoice choice;
  if (IsUsbPortPath(where)) {
    choice.usb_path = std::string(where);
  } else if (const auto number = ComPortOfName(where)) {
    // Resolved against every port, whatever module was chosen before.
    const std::string before = ChosenModuleUsbPath();
    ChooseModuleUsbPath({});
    const std::optional<std::string> usb_path = ResolveUsbPath(*number);
    if (!usb_path || !IsUsbPortPath(*usb_path)) {
      ChooseModuleUsbPath(before);
      choice.result = usb_path ? ModuleChoice::Result::kNoUsbPath : ModuleChoice::Result::kNoSuchPort;
      return choice;
    }
    choice.usb_path = *usb_path;
  } else {
    return choice;
  }
  ChooseModuleUsbPath(choice.usb_path);
  choice.result = ModuleChoice::Result::kChosen;
  return choice;
}

namespace {

InstanceLock::Refusal RefusalOf(const SingleInstance& lock, InstanceLock::Refusal when_held_elsewhere) {
  switch (lock.state()) {
    case SingleInstance::State::kAcquired: return InstanceLock::Refusal::kNone;
    case SingleInstance::State::kRunningElsewhere: return when_held_elsewhere;
    default: return InstanceLock::Refusal::kUnavailable;
  }
}

}  // namespace

InstanceLock::InstanceLock(const std::string& module_usb_path) {
  const bool one_module = !module_usb_path.empty();
  // The path becomes part of a file name: only a well-formed one is used.
  if (one_module && !IsUsbPortPath(module_usb_path)) {
    refusal_ = Refusal::kUnavailable;
    refused_path_ = module_usb_path;
    return;
  }
  lock_ = std::make_unique<SingleInstance>(
      InstanceLockPath(), one_module ? SingleInstance::Mode::kShared : SingleInstance::Mode::kExclusive);
  refusal_ = RefusalOf(*lock_, Refusal::kVekRunning);
  if (refusal_ != Refusal::kNone) {
    refused_path_ = lock_->path();
    lock_.reset();
    return;
  }
  if (!one_module) return;
  module_lock_ = std::make_unique<SingleInstance>(ModuleLockPath(module_usb_path));
  refusal_ = RefusalOf(*module_lock_, Refusal::kModuleTaken);
  if (refusal_ == Refusal::kNone) return;
  refused_path_ = module_lock_->path();
  module_lock_.reset();
  lock_.reset();
}

InstanceLock::~InstanceLock() = default;
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
