// Waiting for the module's reply frames.
//
// The host sleeps in poll() until bytes arrive (or the deadline passes), then
// assembles them with ReceiveFrame. Every wait is bounded, ends at once when
// the thread's stop is requested, and fails at once when the port has gone.
#pragma once

#include <cstdint>

#include "link/hdlc_frame.h"
#include "records/time_scale.h"

namespace vek {

// How long the module may take to answer a request before the host gives up.
inline constexpr uint32_t kReplyLimitMs = 30000;

// One attempt of the waits that count empty attempts: the host listens this
// long (scaled) before it counts the attempt as empty, so a module that answers
// a moment late is still heard.
inline constexpr uint32_t kAttemptSliceMs = 5;

enum class FrameWait {
  kFrame,    // RxFrame holds a complete frame
  kNoFrame,  // no complete frame (the attempt was empty, or the deadline passed)
  kStopped,  // the thread's stop was requested
  kHungUp,   // the port has vanished or is not open
};

// Calls ReceiveFrame until it returns a frame or the deadline passes,
// sleeping in poll() while nothing arrives.
FrameWait AwaitFrame(Deadline deadline);

// One attempt: listens for at most one slice, then calls ReceiveFrame once.
FrameWait AttemptFrame();

// One ReceiveFrame without waiting (after a fixed pause of the caller).
FrameWait PollFrame();

// Byte 0 of the frame in RxFrame: the reply's code.
inline uint8_t ReplyCode() { return RxFrame.data[0]; }
inline uint8_t ReplyByte(int index) { return RxFrame.data[index]; }

}  // namespace vek
