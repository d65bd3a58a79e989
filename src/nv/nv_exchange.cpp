#include "nv/nv_exchange.h"

#include <cstring>

#include "link/crc16.h"
#include "link/hdlc_frame.h"
#include "link/serial_port.h"
#include "nv/nv_backup_file.h"
#include "records/job_records.h"
#include "records/protocol_trace.h"
#include "records/reporting.h"
#include "records/stop_wait.h"

namespace vek {
namespace {

// The module answers an NV request within this time or not at all.
constexpr uint32_t kNvReplyLimitMs = 10000;
// A reply that arrives damaged is asked for again this many times before the
// item is given up: a damaged reply must never reach the backup file.
constexpr int kDamagedReplyRereads = 3;
// A full read reply: 133 bytes and the CRC.
constexpr int kFullReplyCount = kNvRequestLength + 2;

constexpr const char* kReadTimeoutText = "Error: NV_READ_F timeout!\r\n";
constexpr const char* kWriteTimeoutText = "Error: NV_WRITE_F timeout!\r\n";
constexpr const char* kReadFailedText = "backup NVB:NV %d backup failed \r\n";
constexpr const char* kWriteFailedText = "restore NVB:NV %d restore failed \r\n";

uint8_t nv_frame[kNvFrameCapacity];
BackupFileWriter* open_backup_file = nullptr;  // download worker only
bool wait_interrupted = false;                 // download worker only

enum class Await { kFrame, kTimeout, kInterrupted };

inline void PutEscaped(uint8_t byte, uint8_t* frame, int& n) {
  if (byte == kFrameFlag || byte == kFrameEscape) {
    frame[n++] = kFrameEscape;
    frame[n++] = static_cast<uint8_t>(byte ^ kEscapeXor);
  } else {
    frame[n++] = byte;
  }
}

// Sends the request in TxPacket and sleeps until a whole frame is in RxFrame.
Await SendAndAwait() {
  const int length = EncodeNvFrame(TxPacket.data, kNvRequestLength, nv_frame);
  const int written = WritePort(DiagPort.load(), nv_frame, length);  // a lost request shows as silence
  if (ProtocolTraceOn()) TraceSent(nv_frame, static_cast<size_t>(length), written == length ? "" : "write failed");
  const Deadline deadline = Deadline::AfterMs(kNvReplyLimitMs);
  while (!ReceiveFrame()) {
    // A module that streams bytes without ever closing a frame still times out.
    if (deadline.Passed()) return Await::kTimeout;
    switch (WaitForInput(DiagPort.load(), deadline)) {
      case WaitResult::kReady: break;
      case WaitResult::kTimeout: return Await::kTimeout;
      case WaitResult::kStopped:
      case WaitResult::kHungUp: return Await::kInterrupted;
    }
  }
  return Await::kFrame;
}

NvResult EndWait(Await await, const char* timeout_text) {
  wait_interrupted = await == Await::kInterrupted;
  if (await == Await::kTimeout) TheJob().write_log("%s", timeout_text);
  return NV_TIMEOUT;
}

uint16_t ReplyStatus() { return static_cast<uint16_t>(RxFrame.data[131] | (RxFrame.data[132] << 8)); }

}  // namespace

int EncodeNvFrame(const uint8_t* bytes, int length, uint8_t* frame) {
  if (bytes == nullptr || frame == nullptr || length <= 0) return 0;
  int n = 0;
  uint16_t crc = 0xFFFF;
  for (int i = 0; i < length; ++i) {
    const uint8_t b = bytes[i];
    crc = static_cast<uint16_t>(kCrc16Table[(crc ^ b) & 0xFF] ^ (crc >> 8));
    PutEscaped(b, frame, n);
  }
  crc = static_cast<uint16_t>(~crc);
  // The firmware also takes a CRC byte 0x00 escaped (as 7D 20).
  for (const uint8_t b : {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)}) {
    if (b == 0x00) {
      frame[n++] = kFrameEscape;
      frame[n++] = static_cast<uint8_t>(b ^ kEscapeXor);
    } else {
      PutEscaped(b, frame, n);
    }
  }
  frame[n++] = kFrameFlag;
  return n;
}

void SetOpenBackupFile(BackupFileWriter* file) { open_backup_file = file; }

bool NvWaitInterrupted() { return wait_interrupted; }

NvResult NvReadItem(uint16_t item, uint8_t* data, int index, int count, bool save) {
  static const uint8_t kNoData[kNvItemDataLength] = {};
  if (data == nullptr) data = const_cast<uint8_t*>(kNoData);
  std::memset(TxPacket.data, 0, kNvRequestLength);
  TxPacket.data[0] = kNvReadCommand;
  TxPacket.data[1] = static_cast<uint8_t>(item & 0xFF);
  TxPacket.data[2] = static_cast<uint8_t>(item >> 8);
  if (count == 0) {
    std::memcpy(TxPacket.data + 3, data, kNvItemDataLength);
  } else {
    TxPacket.data[3] = static_cast<uint8_t>(index & 0xFF);
    std::memcpy(TxPacket.data + 4, data, kNvItemDataLength - 1);
  }
  TxPacket.length = kNvRequestLength;

  bool intact = false;
  for (int attempt = 0; attempt <= kDamagedReplyRereads && !intact; ++attempt) {
    const Await await = SendAndAwait();
    if (await != Await::kFrame) return EndWait(await, kReadTimeoutText);
    intact = RxFrameCrcValid();
    if (!intact) DebugTrace("NV %d: reply with a wrong CRC", item);
  }
  if (!save) return intact ? NV_DONE : NV_FAILED;  // the caller reads RxFrame itself

  const uint8_t command = RxFrame.data[0];
  if (intact && (command == kNvBadParameters || command == kNvBadSecurityMode)) return NV_REFUSED;
  // Only an intact reply of full length is a read reply.
  if (intact && command == kNvReadCommand && RxFrame.count >= kFullReplyCount) {
    if (ReplyStatus() == 0 && open_backup_file != nullptr) open_backup_file->Append(RxFrame.data);
    return NV_DONE;
  }
  TheJob().show_status(kReadFailedText, item);
  return NV_FAILED;
}

NvResult NvWriteItem(uint16_t item) {
  TxPacket.data[0] = kNvWriteCommand;
  TxPacket.data[131] = 0;
  TxPacket.data[132] = 0;
  TxPacket.length = kNvRequestLength;
  const Await await = SendAndAwait();
  if (await != Await::kFrame) return EndWait(await, kWriteTimeoutText);
  const uint8_t command = RxFrame.data[0];
  if (command == kNvBadParameters || command == kNvBadSecurityMode) return NV_REFUSED;
  if (command == kNvWriteCommand) return NV_DONE;
  TheJob().show_status(kWriteFailedText, item);
  return NV_FAILED;
}

}  // namespace vek
