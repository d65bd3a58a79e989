#include "protocol/reply_wait.h"

#include "link/serial_port.h"
#include "records/stop_wait.h"

namespace vek {

FrameWait AwaitFrame(Deadline deadline) {
  const PortHandle port = DiagPort.load();
  if (port == kInvalidPort) return FrameWait::kHungUp;
  for (;;) {
    if (StopRequested()) return FrameWait::kStopped;
    // Poll before reading: right after a request the reply has rarely arrived,
    // and a read that finds nothing would cost one system call per block.
    // Bytes already read are looked at first.
    if (!ReceiveFramePending()) {
      switch (WaitForInput(port, deadline)) {
        case WaitResult::kReady: break;
        case WaitResult::kTimeout: return FrameWait::kNoFrame;
        case WaitResult::kStopped: return FrameWait::kStopped;
        case WaitResult::kHungUp: return FrameWait::kHungUp;
      }
    }
    if (ReceiveFrame()) return FrameWait::kFrame;
    if (deadline.Passed()) return FrameWait::kNoFrame;
  }
}

FrameWait AttemptFrame() {
  const PortHandle port = DiagPort.load();
  if (port == kInvalidPort) return FrameWait::kHungUp;
  if (!ReceiveFramePending()) {
    switch (WaitForInput(port, Deadline::AfterMs(kAttemptSliceMs))) {
      case WaitResult::kReady:
      case WaitResult::kTimeout: break;
      case WaitResult::kStopped: return FrameWait::kStopped;
      case WaitResult::kHungUp: return FrameWait::kHungUp;
    }
  }
  return ReceiveFrame() ? FrameWait::kFrame : FrameWait::kNoFrame;
}

FrameWait PollFrame() {
  const PortHandle port = DiagPort.load();
  if (port == kInvalidPort) return FrameWait::kHungUp;
  if (StopRequested()) return FrameWait::kStopped;
  if (ReceiveFrame()) return FrameWait::kFrame;
  // A deadline already passed: poll() only reports whether the port has gone.
  if (WaitForInput(port, Deadline::At(Clock::now())) == WaitResult::kHungUp) return FrameWait::kHungUp;
  return FrameWait::kNoFrame;
}

}  // namespace vek
