// One time facility for every fixed wait, pause and time limit of the program.
//
// VEK_TIME_SCALE (a positive decimal factor, default 1) multiplies every duration
// that passes through here; 1 is the module's real timing. Tests and the
// simulator run at a reduced scale so that 30-second limits take a fraction of that.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vek {

using Clock = std::chrono::steady_clock;

// Parses a time-scale text: a positive finite decimal number, nothing else.
std::optional<double> ParseTimeScale(std::string_view text);

// The factor in force for this process (read once from VEK_TIME_SCALE; an
// unusable value is reported on standard error and replaced by 1).
double TimeScale();

// A fixed duration of the program, given in milliseconds, scaled.
Clock::duration ScaledMs(uint32_t milliseconds);
// The same for the simulated link's and task's times, finer than a millisecond.
Clock::duration ScaledUs(uint64_t microseconds);

// A point in time by which a wait must end.
class Deadline {
 public:
  static Deadline AfterMs(uint32_t milliseconds) { return Deadline(Clock::now() + ScaledMs(milliseconds)); }
  static Deadline At(Clock::time_point when) { return Deadline(when); }

  bool Passed() const { return Clock::now() >= when_; }
  Clock::duration Remaining() const;
  Clock::time_point When() const { return when_; }

 private:
  explicit Deadline(Clock::time_point when) : when_(when) {}
  Clock::time_point when_;
};

}  // namespace vek
