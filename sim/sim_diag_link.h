// The way from the host to the firmware's diagnostic task and back, as a real
// module's USB link and task pace DIAG requests: a request reaches the task half
// the link's round trip after the host wrote it and waits in the task's queue,
// which holds the request being served too (dropped, never answered, when full); the task handles one
// request at a time, in arrival order; its reply takes the other half back.
// The link carries many requests at once, so a window of them overlaps.
//
// Loop thread only, but for the count of dropped requests.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string_view>

#include "sim/frame_decoder.h"
#include "sim/sim_options.h"

namespace sim {

// The round trip given on the command line in milliseconds ("0.5", "20"), in
// microseconds; nullopt unless a plain decimal from 0 to 60000.
std::optional<uint32_t> ParseLinkLatencyMs(std::string_view text);

class SimDiagLink {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  struct Handled {
    DecodedFrame frame;
    TimePoint done;  // when the task finished with it and sent its reply
  };

  explicit SimDiagLink(const DiagLinkOptions& options);

  // False when all options are zero: requests go straight to the program, as always.
  bool paced() const { return paced_; }
  // The host wrote `frame` at `written`. False when the task's queue is full as it
  // arrives: the request is gone and counted.
  bool Admit(DecodedFrame&& frame, TimePoint written);
  // The oldest request the task has finished with by `now`, if any.
  std::optional<Handled> TakeHandled(TimePoint now);
  std::optional<TimePoint> NextDone() const;
  // When a reply sent at `sent` reaches the host.
  TimePoint Delivered(TimePoint sent) const { return sent + to_host_; }
  // The task starts over with nothing in it: the firmware stopped or the port vanished.
  void Clear() { admitted_.clear(); }
  uint64_t dropped() const { return dropped_.load(); }

 private:
  struct Admitted {
    TimePoint done;
    DecodedFrame frame;
  };

  const bool paced_;
  const uint32_t queue_limit_;
  const std::chrono::steady_clock::duration to_task_, to_host_, service_;
  std::deque<Admitted> admitted_;  // by `done`, which only grows
  std::atomic<uint64_t> dropped_{0};
};

}  // namespace sim
