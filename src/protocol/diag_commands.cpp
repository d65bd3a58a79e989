#include "protocol/diag_commands.h"

#include <cstring>

#include "link/hdlc_frame.h"
#include "protocol/reply_wait.h"
#include "records/stop_wait.h"

namespace vek {
namespace {

constexpr uint8_t kVersionCode = 0x00;
constexpr uint8_t kInterfaceTypeCode = 0x3D;
constexpr uint8_t kSwitchToDownloadCode = 0x3A;
constexpr uint8_t kModeChangeCode = 0x29;
constexpr uint8_t kUnlockSpcCode = 0x41;

constexpr uint8_t kOfflineRequest[] = {kModeChangeCode, 0x01, 0x00};  // mode 1, 16-bit little-endian
constexpr uint8_t kResetRequest[] = {kModeChangeCode, 0x02, 0x00};    // mode 2

constexpr int kInterfaceTypeAttempts = 50;
constexpr uint32_t kOfflinePollMs = 1000;
constexpr uint32_t kUnlockPollMs = 500;
constexpr int kUnlockRequests = 4;
constexpr uint8_t kUnlockAccepted = 0x01;

constexpr int kWithoutFlag = 0;
constexpr int kWithFlag = 1;

bool Send(const uint8_t* request, size_t length, int opening_flag) {
  if (!FillTxPacket(request, length)) return false;
  SendPacket(opening_flag);
  return true;
}

// Pauses `poll_ms`, then looks for a frame, until one arrives or the limit passes.
bool PollEvery(uint32_t poll_ms, Deadline limit) {
  for (;;) {
    if (!PauseMs(poll_ms)) return false;
    switch (PollFrame()) {
      case FrameWait::kFrame: return true;
      case FrameWait::kNoFrame: break;
      case FrameWait::kStopped:
      case FrameWait::kHungUp: return false;
    }
    if (limit.Passed()) return false;
  }
}

}  // namespace

bool DiagVersion() {
  const uint8_t request[] = {kVersionCode};
  Send(request, sizeof request, kWithoutFlag);
  if (AwaitFrame(Deadline::AfterMs(kReplyLimitMs)) != FrameWait::kFrame) return false;
  return ReplyCode() == kVersionCode;
}

bool DiagSetInterfaceType() {
  const uint8_t request[] = {kInterfaceTypeCode};
  Send(request, sizeof request, kWithoutFlag);
  for (int attempt = 0; attempt < kInterfaceTypeAttempts; ++attempt) {
    switch (AttemptFrame()) {
      case FrameWait::kFrame: return ReplyCode() == kInterfaceTypeCode;
      case FrameWait::kNoFrame: break;
      case FrameWait::kStopped:
      case FrameWait::kHungUp: return false;
    }
  }
  return false;
}

bool DiagSwitchToDownload() {
  const uint8_t request[] = {kSwitchToDownloadCode};
  Send(request, sizeof request, kWithoutFlag);
  return true;
}

int DiagOffline() {
  Send(kOfflineRequest, sizeof kOfflineRequest, kWithFlag);
  if (!PollEvery(kOfflinePollMs, Deadline::AfterMs(kReplyLimitMs))) return 0;
  return ReplyCode() == kModeChangeCode ? 1 : 0;
}

bool DiagReset() {
  Send(kResetRequest, sizeof kResetRequest, kWithFlag);
  return true;
}

int DiagUnlockSpc() {
  uint8_t request[1 + 6];
  request[0] = kUnlockSpcCode;
  std::memcpy(request + 1, kServiceProgrammingCode, 6);
  for (int attempt = 0; attempt < kUnlockRequests; ++attempt) {
    Send(request, sizeof request, kWithFlag);
    if (!PollEvery(kUnlockPollMs, Deadline::AfterMs(kReplyLimitMs))) return 0;
    if (ReplyCode() != kUnlockSpcCode) return 0;
    if (ReplyByte(1) == kUnlockAccepted) return 1;
    // The module refused the code: ask again.
  }
  return 0;
}

}  // namespace vek
