// Keeps the machine from suspending or shutting down while the module's flash is
// written: a logind inhibitor lock ("sleep:shutdown", mode "block") asked for on
// the system bus through sd-bus. logind hands back a descriptor; the lock lasts
// while that descriptor is open, so closing it is the release.
#pragma once

#include <cstdint>
#include <string>

namespace vek {

// How long logind has to answer (connection, authentication and the call
// together). Not scaled: it guards against a hung bus, not the module's timing.
inline constexpr uint32_t kInhibitAnswerLimitMs = 5000;

class SleepInhibitor {
 public:
  SleepInhibitor() = default;  // holds nothing
  ~SleepInhibitor() { Release(); }
  SleepInhibitor(const SleepInhibitor&) = delete;
  SleepInhibitor& operator=(const SleepInhibitor&) = delete;

  // Asks logind for the lock unless it is held already. Returns an empty text
  // when the lock is held, otherwise why it is not (no system bus, no logind,
  // refused, no answer in time, stopped). Opens its own bus connection and
  // closes it before returning, so no bus object is shared between threads;
  // its waits sleep in poll() and end at the thread's stop request.
  std::string Take();

  // Gives the lock back; nothing when none is held.
  void Release();

  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace vek
