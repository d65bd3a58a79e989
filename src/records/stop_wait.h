// Waiting without spinning, and ending every wait when the thread is asked to stop.
//
// A thread that may be stopped (the download worker, the device-connect task)
// installs its std::stop_token with a StopScope. From then on every sleep and
// every wait for input on that thread sleeps in poll() together with a wake-up
// descriptor, so a stop request ends it at once.
#pragma once

#include <cstdint>
#include <stop_token>

#include "records/time_scale.h"

namespace vek {

class StopScope {
 public:
  explicit StopScope(std::stop_token token);
  ~StopScope();
  StopScope(const StopScope&) = delete;
  StopScope& operator=(const StopScope&) = delete;
};

// True when the calling thread's stop has been requested.
bool StopRequested();

// The calling thread's stop token (one that is never stopped on a thread without a StopScope).
std::stop_token CurrentStopToken();

enum class WaitResult {
  kReady,    // input is waiting to be read
  kTimeout,  // the deadline passed first
  kStopped,  // the thread's stop was requested
  kHungUp,   // the other side has gone (a vanished port)
};

// Sleeps until input is ready on fd, the deadline passes or a stop is requested.
WaitResult WaitForInput(int fd, Deadline deadline);

// Sleeps until output space is free on fd (same outcomes as WaitForInput).
WaitResult WaitForOutput(int fd, Deadline deadline);

// A fixed pause of the program (scaled). Returns false when it was cut short by a stop.
bool PauseMs(uint32_t milliseconds);

// Sleeps until the deadline unless stopped first. Returns false when stopped.
bool SleepUntil(Deadline deadline);

// The time every thread of this process has spent so far in fixed pauses
// (PauseMs and SleepUntil), added up: the part of a job's time that is the
// program's own waiting rather than work or the module's answers.
Clock::duration FixedWaitTotal();

}  // namespace vek
