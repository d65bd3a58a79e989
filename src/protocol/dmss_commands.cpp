#include "protocol/dmss_commands.h"

#include <algorithm>
#include <cstring>

#include "images/image_set.h"
#include "link/hdlc_frame.h"
#include "protocol/reply_wait.h"
#include "records/job_records.h"

namespace vek {
namespace {

constexpr uint8_t kGoCode = 0x05;
constexpr uint8_t kNopCode = 0x06;
constexpr uint8_t kParamRequestCode = 0x07;
constexpr uint8_t kParamReplyCode = 0x08;
constexpr uint8_t kWriteCode = 0x0F;
constexpr uint8_t kAckCode = 0x02;
// A frame the boot loader may send unasked while it starts; the nop skips it.
constexpr uint8_t kIgnoredCode = 0x0D;

constexpr int kWriteHeaderSize = 7;  // code, address (4), length (2)
constexpr int kWithFlag = 1;

void PutBigEndian(uint8_t* out, uint32_t value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<uint8_t>(value & 0xFF);
    value >>= 8;
  }
}

void ReportProgress(uint32_t done, int32_t total) {
  if (auto show = TheJob().show_progress) show(done, total);
}

// Sends the packet and waits (bounded) for one reply frame.
bool Exchange(const uint8_t* request, size_t length) {
  if (!FillTxPacket(request, length)) return false;
  SendPacket(kWithFlag);
  return AwaitFrame(Deadline::AfterMs(kReplyLimitMs)) == FrameWait::kFrame;
}

}  // namespace

bool DmssNop() {
  const uint8_t request[] = {kNopCode};
  if (!FillTxPacket(request, sizeof request)) return false;
  SendPacket(kWithFlag);
  const Deadline limit = Deadline::AfterMs(kReplyLimitMs);
  for (;;) {
    if (AwaitFrame(limit) != FrameWait::kFrame) return false;
    if (ReplyCode() == kIgnoredCode) continue;
    return ReplyCode() == kAckCode;
  }
}

bool DmssParamRequest() {
  const uint8_t request[] = {kParamRequestCode};
  return Exchange(request, sizeof request) && ReplyCode() == kParamReplyCode;
}

bool DmssWriteProgrammer() {
  ReportProgress(0, 100);
  const ImageView programmer = SlotData(ImageSlot::kProgrammer);
  if (programmer.data == nullptr || programmer.size <= 0) return true;

  uint8_t request[kWriteHeaderSize + kProgrammerBlockSize];
  int32_t position = 0;
  uint32_t address = kProgrammerLoadAddress;
  while (position < programmer.size) {
    const int length = std::min(kProgrammerBlockSize, programmer.size - position);
    request[0] = kWriteCode;
    PutBigEndian(request + 1, address, 4);
    PutBigEndian(request + 5, static_cast<uint32_t>(length), 2);
    std::memcpy(request + kWriteHeaderSize, programmer.data + position, static_cast<size_t>(length));
    if (!Exchange(request, static_cast<size_t>(kWriteHeaderSize + length))) return false;
    if (ReplyCode() != kAckCode) return false;
    position += length;
    address += static_cast<uint32_t>(length);
    ReportProgress(static_cast<uint32_t>(position), programmer.size);
  }
  return true;
}

bool DmssGo() {
  uint8_t request[5] = {kGoCode};
  PutBigEndian(request + 1, kProgrammerLoadAddress, 4);
  if (FillTxPacket(request, sizeof request)) SendPacket(kWithFlag);
  return true;
}

}  // namespace vek
