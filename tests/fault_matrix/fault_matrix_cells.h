// The fault matrix's rows (the requests of an upgrade), its columns (the
// faults) and what each cell must end with: the exit status and a text the
// operator reads (a status line on stdout or "CAPTION: TEXT" on stderr).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/sim_faults.h"
#include "sim/sim_program.h"

namespace faultmatrix {

// vek-cli's time scale: a 30 000 ms limit takes 15 s (a hello unanswered for 175 ms is a silent programmer's).
inline const char* kCliTimeScale = "0.5";
// Cells run side by side, each with its own module, folders and vek-cli.
inline constexpr int kParallelCells = 4;

// How the module's ports behave at the switch to the boot loader.
enum class SwitchPorts {
  kKept,             // the boot loader answers on the port the host holds
  kReenumerate,      // every port vanishes; the boot loader's returns under the same number
  kReenumerateNew,   // ...under another number (COM37) at the same USB path
};

struct Request {
  std::string name;
  sim::SimState state = sim::SimState::kFirmware;
  uint8_t code = 0;
  int second_byte = -1;         // only requests whose byte 1 is this
  int skip = 0;                 // the first matching requests pass (the fault hits a later one)
  bool persistent = false;      // the fault hits every matching request, not only the first
  bool no_reply = false;        // the module does not answer this request
  std::string at_command = {};  // an AT command instead of a diagnostic request
  bool after_download = false;  // AT: only once the download has completed
  bool erase_efs = false;       // the job erases the EFS ([EraseEFS] enable=1)
  bool restore_default = false; // the job restores the default settings (--restore-default)
  uint8_t refusal = 0x13;       // the byte a refusal answers with
  SwitchPorts switch_ports = SwitchPorts::kKept;
};

// The COM number of the boot loader's port in the SwitchPorts::kReenumerateNew rows.
inline constexpr uint32_t kReenumeratedCom = 37;

struct Fault {
  std::string name;
  sim::FaultKind kind;
  uint32_t value = 0;
};

inline const std::vector<Request>& Requests() {
  using sim::SimState;
  static const std::vector<Request> requests = {
      // The mode probe 7E 06 4E 95 7E, each time the running firmware is asked.
      {.name = "probe (06)", .code = 0x06, .persistent = true},
      {.name = "version (00)", .code = 0x00},
      {.name = "interface type (3D)", .code = 0x3D},
      {.name = "unlock (41)", .code = 0x41},
      {.name = "NV read (26)", .code = 0x26, .skip = 200},
      {.name = "NV write (27)", .code = 0x27, .skip = 200},
      {.name = "switch (3A)", .code = 0x3A, .no_reply = true},
      // A module that drops off the bus at the switch, like real USB hardware: the
      // switch itself, and the boot loader's first probe once its port is back.
      {.name = "switch (3A), ports re-enumerate", .code = 0x3A, .no_reply = true,
       .switch_ports = SwitchPorts::kReenumerate},
      {.name = "switch (3A), back as COM37", .code = 0x3A, .no_reply = true,
       .switch_ports = SwitchPorts::kReenumerateNew},
      {.name = "first boot probe (06), ports re-enumerated", .state = SimState::kBootLoader, .code = 0x06,
       .switch_ports = SwitchPorts::kReenumerate},
      {.name = "first boot probe (06), back as COM37", .state = SimState::kBootLoader, .code = 0x06,
       .switch_ports = SwitchPorts::kReenumerateNew},
      // In the boot loader the first 06 is the probe after the switch, the second the nop.
      {.name = "nop (06)", .state = SimState::kBootLoader, .code = 0x06, .skip = 1},
      {.name = "parameter request (07)", .state = SimState::kBootLoader, .code = 0x07},
      {.name = "programmer block (0F)", .state = SimState::kBootLoader, .code = 0x0F, .skip = 1},
      {.name = "go (05)", .state = SimState::kBootLoader, .code = 0x05, .no_reply = true},
      {.name = "hello (01)", .state = SimState::kProgrammer, .code = 0x01},
      {.name = "security mode (17)", .state = SimState::kProgrammer, .code = 0x17},
      {.name = "partition table (19)", .state = SimState::kProgrammer, .code = 0x19},
      {.name = "open (1B)", .state = SimState::kProgrammer, .code = 0x1B, .skip = 1},
      {.name = "write (07)", .state = SimState::kProgrammer, .code = 0x07, .skip = 2},
      {.name = "close (15)", .state = SimState::kProgrammer, .code = 0x15, .skip = 1},
      {.name = "EFS erase (1B 09)", .state = SimState::kProgrammer, .code = 0x1B, .second_byte = 0x09,
       .erase_efs = true},
      {.name = "reset (0B)", .state = SimState::kProgrammer, .code = 0x0B},
      {.name = "offline (29 01)", .code = 0x29, .second_byte = 0x01},
      {.name = "normal reset (29 02)", .code = 0x29, .second_byte = 0x02, .no_reply = true},
      // The identity read after the download (the one at connection passes).
      {.name = "ATI", .persistent = true, .at_command = "ATI", .after_download = true},
      {.name = "AT+KORVANATI", .persistent = true, .at_command = "AT+KORVANATI", .after_download = true},
      {.name = "AT+CPWROND=0", .at_command = "AT+CPWROND=0"},
      {.name = "AT&F1", .at_command = "AT&F1", .restore_default = true},
  };
  return requests;
}

inline const std::vector<Fault>& Faults() {
  static const std::vector<Fault> faults = {
      {"silence", sim::FaultKind::kSilence},
      {"refuse", sim::FaultKind::kRefuse},
      {"corrupt-crc", sim::FaultKind::kCorruptByte},
      {"split", sim::FaultKind::kSplit, 100},  // the second piece 100 ms (scaled) after the first
      {"pull", sim::FaultKind::kPull},         // the cable stays away until the test plugs it back
  };
  return faults;
}

// A reply that does not exist cannot be damaged or split.
inline bool Meaningful(const Request& request, const Fault& fault) {
  if (!request.no_reply) return true;
  return fault.kind != sim::FaultKind::kCorruptByte && fault.kind != sim::FaultKind::kSplit;
}

inline sim::FaultRule RuleFor(const Request& request, const Fault& fault) {
  sim::FaultRule rule;
  rule.state = request.state;
  rule.request_code = request.code;
  rule.kind = fault.kind;
  rule.value = fault.kind == sim::FaultKind::kRefuse ? request.refusal : fault.value;
  rule.times = request.persistent && fault.kind != sim::FaultKind::kPull ? -1 : 1;
  rule.second_byte = request.second_byte;
  rule.skip = request.skip;
  rule.at_command = request.at_command;
  rule.after_download = request.after_download;
  return rule;
}

struct Expected {
  int exit_status = 0;
  std::string text;                   // said on stdout or stderr
  std::string logged = {};            // written to vek.log
  std::vector<std::string> not_said = {};  // must not be said
  // Said instead of `text` is as good: where the outcome rests on whether the
  // removal is noticed before or after the job moves on to its next stage.
  std::string or_text = {};
};

// The operator's texts.
inline const std::string kDone = "update version";
inline const std::string kDownloadFailed = "Error: download failed!";
inline const std::string kRemoved = "Error: usb cable has been removed!";

Expected ExpectedOutcome(const Request& request, const std::optional<Fault>& fault);

}  // namespace faultmatrix
