// The three programs of the simulated module and what each may ask the module to do.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/frame_decoder.h"

namespace sim {

enum class SimState { kFirmware, kBootLoader, kProgrammer };
enum class SimPortRole { kDiagnostics, kAt, kNmea };

const char* SimStateName(SimState state);
std::optional<SimState> ParseSimState(const char* text);

struct SimReply {
  std::vector<uint8_t> bytes;  // exactly as they go on the wire
  uint32_t delay_ms = 0;       // after the previous reply (or the request)
  SimPortRole port = SimPortRole::kDiagnostics;
};

// The module's ports vanish and come back with new /dev/pts paths, as when the
// module reboots or its USB device re-enumerates.
struct Reenumerate {
  enum class Ports { kDiagnostics, kAll };
  Ports ports = Ports::kAll;
  uint32_t delay_ms = 0;  // how long the ports stay away
  SimState state_after = SimState::kFirmware;
  uint32_t leave_ms = 0;               // from the request until the ports vanish (at least until the replies are read)
  Ports returning = Ports::kAll;       // of the ports that vanished, which come back
  bool silent_until_gone = false;      // the program has stopped: requests meanwhile are lost
};

// Filled by a program while it handles one request.
struct SimActions {
  std::vector<SimReply> replies;
  std::optional<SimState> next_state;  // the module now runs another program on the same port
  std::optional<Reenumerate> reenumerate;  // after the replies have gone out
  bool pull_cable = false;                 // the cable is pulled now (an AT fault); nothing is answered
};

class SimProgram {
 public:
  virtual ~SimProgram() = default;
  virtual void OnFrame(const DecodedFrame& frame, SimActions& actions) = 0;
};

}  // namespace sim
