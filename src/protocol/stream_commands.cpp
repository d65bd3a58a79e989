#include "protocol/stream_commands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "images/image_set.h"
#include "images/platform_profile.h"
#include "link/console_output.h"
#include "link/hdlc_frame.h"
#include "protocol/reply_wait.h"
#include "records/job_records.h"
#include "records/stop_wait.h"

namespace vek {
namespace {

constexpr uint8_t kHelloCode = 0x01;
constexpr uint8_t kHelloReplyCode = 0x02;
constexpr uint8_t kWriteCode = 0x07;
constexpr uint8_t kWriteReplyCode = 0x08;
constexpr uint8_t kResetCode = 0x0B;
constexpr uint8_t kResetReplyCode = 0x0C;
constexpr uint8_t kIgnoredCode = 0x0D;  // skipped while waiting for the hello reply
constexpr uint8_t kCloseCode = 0x15;
constexpr uint8_t kCloseReplyCode = 0x16;
constexpr uint8_t kSecurityModeCode = 0x17;
constexpr uint8_t kSecurityModeReplyCode = 0x18;
constexpr uint8_t kPartitionCode = 0x19;
constexpr uint8_t kPartitionReplyCode = 0x1A;
constexpr uint8_t kOpenCode = 0x1B;
constexpr uint8_t kOpenReplyCode = 0x1C;

constexpr char kHelloMagic[] = "QCOM fast download protocol host";
constexpr uint8_t kHelloTail[] = {0x03, 0x03, 0x09};
constexpr int kHelloEmptyAttempts = 30;
constexpr uint32_t kHelloPauseMs = 200;
constexpr uint32_t kPartitionPauseMs = 200;

constexpr int kHelloNameLengthOffset = 43;
constexpr int kHelloNameOffset = 44;

// Block size and security byte when no platform is chosen.
constexpr uint32_t kDefaultBlockSize = 1024;
constexpr uint8_t kDefaultSecurityMode = 0x01;

constexpr int kWriteHeaderSize = 5;  // code, offset (4)
constexpr int kWithFlag = 1;

constexpr char kWriteTimeoutText[] = "Failure during modem image write!\r\n";

const PlatformProfile* JobProfile() { return ProfileOf(TheJob().platform.load()); }

void ReportProgress(uint32_t done, int32_t total) {
  if (auto show = TheJob().show_progress) show(done, total);
}

bool SendRequest(const uint8_t* request, size_t length) {
  if (!FillTxPacket(request, length)) return false;
  SendPacket(kWithFlag);
  return true;
}

// Sends the request and waits (bounded) for one frame whose byte 0 is `reply_code`.
bool Exchange(const uint8_t* request, size_t length, uint8_t reply_code) {
  if (!SendRequest(request, length)) return false;
  return AwaitFrame(Deadline::AfterMs(kReplyLimitMs)) == FrameWait::kFrame && ReplyCode() == reply_code;
}

}  // namespace

bool StreamHello() {
  uint8_t request[1 + 32 + sizeof kHelloTail];
  request[0] = kHelloCode;
  std::memcpy(request + 1, kHelloMagic, 32);
  std::memcpy(request + 33, kHelloTail, sizeof kHelloTail);
  SendRequest(request, sizeof request);
  if (!PauseMs(kHelloPauseMs)) return false;
  // A programmer that stays silent is taken as ready; the flash name then reads empty.
  const Deadline limit = Deadline::AfterMs(kReplyLimitMs);
  int empty_attempts = 0;
  while (empty_attempts < kHelloEmptyAttempts) {
    switch (AttemptFrame()) {
      case FrameWait::kFrame:
        if (ReplyCode() == kIgnoredCode) break;
        return ReplyCode() == kHelloReplyCode;
      case FrameWait::kNoFrame: ++empty_attempts; break;
      case FrameWait::kStopped:
      case FrameWait::kHungUp: return false;
    }
    if (limit.Passed()) return false;  // a module that never stops sending 0x0D frames
  }
  return true;
}

std::string HelloFlashName() {
  if (RxFrame.data[0] != kHelloReplyCode) return {};
  // The name must lie inside the frame's own bytes, before its CRC.
  const int body_end = std::max(0, RxFrame.count - 2);
  const int available = std::max(0, body_end - kHelloNameOffset);
  const int length = std::min({static_cast<int>(RxFrame.data[kHelloNameLengthOffset]), available,
                               static_cast<int>(kFlashNameMaxLength)});
  const char* text = reinterpret_cast<const char*>(RxFrame.data + kHelloNameOffset);
  return std::string(text, strnlen(text, static_cast<size_t>(length)));
}

bool StreamSecurityMode() {
  const PlatformProfile* profile = JobProfile();
  const uint8_t request[] = {kSecurityModeCode, profile ? profile->security_mode : kDefaultSecurityMode};
  return Exchange(request, sizeof request, kSecurityModeReplyCode);
}

int StreamPartitionTable(uint8_t override_byte) {
  const ImageView table = SlotData(ImageSlot::kPartition);
  const int table_size = table.data ? table.size : 0;
  if (table_size + 2 + 2 > kPacketCapacity) return kPartitionFailed;  // refused before anything is sent
  uint8_t request[kPacketCapacity];
  request[0] = kPartitionCode;
  request[1] = override_byte;
  if (table_size > 0) std::memcpy(request + 2, table.data, static_cast<size_t>(table_size));
  if (!SendRequest(request, static_cast<size_t>(table_size + 2))) return kPartitionFailed;
  if (!PauseMs(kPartitionPauseMs)) return kPartitionFailed;
  if (AwaitFrame(Deadline::AfterMs(kReplyLimitMs)) != FrameWait::kFrame) return kPartitionFailed;
  if (ReplyCode() != kPartitionReplyCode) return kPartitionFailed;
  switch (ReplyByte(1)) {
    case 0x00: return kPartitionAccepted;
    case 0x01: return kPartitionMismatch;
    default: return kPartitionFailed;
  }
}

void BuildOpenImagePacket(uint8_t type, const uint8_t* header, int count) {
  uint8_t request[kPacketCapacity];
  if (count < 0 || count + 2 + 2 > kPacketCapacity || (count > 0 && header == nullptr)) {
    FillTxPacket(nullptr, kPacketCapacity);  // clears TxPacket and leaves its length 0
    return;
  }
  request[0] = kOpenCode;
  request[1] = type;
  if (count > 0) std::memcpy(request + 2, header, static_cast<size_t>(count));
  FillTxPacket(request, static_cast<size_t>(count + 2));
}

bool StreamOpenImage(ImageType type) {
  ImageView header;
  ImageSlot slot;
  if (SlotOfImageHeader(type, slot)) header = SlotData(slot);
  BuildOpenImagePacket(type, header.data, header.data ? header.size : 0);
  if (TxPacket.length == 0) return false;  // the header does not fit one request
  SendPacket(kWithFlag);
  return AwaitFrame(Deadline::AfterMs(kReplyLimitMs)) == FrameWait::kFrame && ReplyCode() == kOpenReplyCode;
}

void BuildStreamWritePacket(uint32_t offset, const uint8_t* data, int length) {
  uint8_t request[kPacketCapacity];
  if (length < 0 || length + kWriteHeaderSize + 2 > kPacketCapacity || (length > 0 && data == nullptr)) {
    FillTxPacket(nullptr, kPacketCapacity);
    return;
  }
  request[0] = kWriteCode;
  for (int i = 0; i < 4; ++i) request[1 + i] = static_cast<uint8_t>(offset >> (8 * i));
  if (length > 0) std::memcpy(request + kWriteHeaderSize, data, static_cast<size_t>(length));
  FillTxPacket(request, static_cast<size_t>(kWriteHeaderSize + length));
}

bool StreamWriteImage(ImageType type) {
  const PlatformProfile* profile = JobProfile();
  const int block_size = static_cast<int>(profile ? profile->stream_block_size : kDefaultBlockSize);
  ReportProgress(0, 100);
  ImageSlot slot;
  if (!SlotOfImageData(type, slot)) return true;
  const ImageView image = SlotData(slot);
  if (image.data == nullptr || image.size <= 0) return true;

  int32_t offset = 0;
  while (offset < image.size) {
    const int length = std::min(block_size, image.size - offset);
    BuildStreamWritePacket(static_cast<uint32_t>(offset), image.data + offset, length);
    if (TxPacket.length == 0) return false;
    SendPacket(kWithFlag);
    // The limit runs from the moment the block has been written.
    switch (AwaitFrame(Deadline::AfterMs(kReplyLimitMs))) {
      case FrameWait::kFrame: break;
      case FrameWait::kNoFrame:
        ConsoleWrite(kWriteTimeoutText);
        return false;
      case FrameWait::kStopped:
      case FrameWait::kHungUp: return false;
    }
    if (ReplyCode() != kWriteReplyCode) return false;
    offset += length;
    ReportProgress(static_cast<uint32_t>(offset), image.size);
  }
  return true;
}

bool StreamClose() {
  const uint8_t request[] = {kCloseCode};
  return Exchange(request, sizeof request, kCloseReplyCode);
}

bool StreamEraseEfs() {
  const uint8_t request[] = {kOpenCode, IMAGE_EFS};
  return Exchange(request, sizeof request, kOpenReplyCode);
}

bool StreamReset() {
  const Deadline limit = Deadline::AfterMs(kReplyLimitMs);  // noted before the request is built
  const uint8_t request[] = {kResetCode};
  SendRequest(request, sizeof request);
  return AwaitFrame(limit) == FrameWait::kFrame && ReplyCode() == kResetReplyCode;
}

}  // namespace vek
