// Faults the simulated module can be told to show for a given request.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/sim_program.h"

namespace sim {

enum class FaultKind {
  kSilence,     // the request is lost: no answer and no effect
  kRefuse,      // answer with a one-byte packet of `value` instead
  kLate,        // answer after `value` milliseconds
  kSplit,       // answer in two pieces, `value` milliseconds apart
  kCorruptCrc,  // answer with a wrong CRC
  kCorruptByte, // answer with one byte in the middle of the reply flipped (so its CRC fails)
  kPull,        // the cable is pulled: the module acts on the request, but every port
                // vanishes before it answers; they come back after `value` ms (0: never)
  kTwice,       // the reply goes out, and the same bytes again `value` ms later
  kStale,       // the reply to the request before goes out again ahead of this one's
  kCut,         // the reply is cut short: its first half, then the frame is closed
};

struct FaultRule {
  SimState state;
  uint8_t request_code;  // byte 0 of the request packet
  FaultKind kind;
  uint32_t value = 0;
  int times = -1;  // how many requests it hits; -1 for all
  int second_byte = -1;  // when set, only requests whose byte 1 is this (e.g. 1B 09, 29 02)
  int skip = 0;          // this many matching requests pass untouched before it hits
  // An AT command line instead of a diagnostic request (`state` and the codes
  // are then not looked at); hits only once a download has completed when asked.
  std::string at_command = {};
  bool after_download = false;
};

class FaultPlan {
 public:
  void Add(const FaultRule& rule);
  void Clear();
  // The fault for this request, if any (counts it down).
  std::optional<FaultRule> Take(SimState state, uint8_t request_code, int second_byte = -1);
  // The fault for this AT command line (upper case), if any.
  std::optional<FaultRule> TakeAt(const std::string& command, bool downloaded);

 private:
  std::mutex mutex_;
  std::vector<FaultRule> rules_;
};

// Parses "STATE:CODE:KIND[:VALUE[:TIMES[:SKIP]]]", e.g. "programmer:07:refuse:3:1":
// STATE firmware|bootloader|programmer, CODE the request's first byte in hex
// (or its first two bytes, e.g. 1B09), KIND silence|refuse|late|split|corrupt-crc|
// corrupt-byte|pull|twice|stale|cut, VALUE decimal (the refusal
// byte in hex; for pull the milliseconds until the cable is back, 0 or none:
// it stays away), TIMES how many requests it hits (default all), SKIP how many
// matching requests pass untouched first (default 0). STATE "at" makes CODE an
// AT command line ("at:AT+KORVANATI:cut:0:1:1").
std::optional<FaultRule> ParseFaultRule(const std::string& text);

// Applies a fault to the replies of one request; `previous` is the reply sent
// before (what a stale reply repeats).
void ApplyFault(const FaultRule& rule, std::vector<SimReply>& replies, const std::vector<uint8_t>& previous = {});

// The first half of a frame, closed by the flag where the frame was.
std::vector<uint8_t> CutShort(const std::vector<uint8_t>& bytes, bool framed);

}  // namespace sim
