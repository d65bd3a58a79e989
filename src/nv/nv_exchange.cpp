#include "nv/nv_exchange.h"

#include <cstring>

#include "link/crc16.h"
#include "link/hdlc_frame.h"
#include "link/serial_port.h"
#include "nv/nv_backup_file.h"
#include "nv/nv_item_table.h"
#include "protocol/reply_wait.h"
#include "records/job_records.h"
#include "records/protocol_trace.h"
#include "records/reporting.h"
#include "records/stop_wait.h"

namespace vek {
namespace {

constexpr const char* kReadTimeoutText = "Error: NV_READ_F timeout!\r\n";
constexpr const char* kWriteTimeoutText = "Error: NV_WRITE_F timeout!\r\n";

uint8_t nv_frame[kNvFrameCapacity];
BackupFileWriter* open_backup_file = nullptr;  // download worker only
bool wait_interrupted = false;                 // download worker only

inline void PutEscaped(uint8_t byte, uint8_t* frame, int& n) {
  if (byte == kFrameFlag || byte == kFrameEscape) {
    frame[n++] = kFrameEscape;
    frame[n++] = static_cast<uint8_t>(byte ^ kEscapeXor);
  } else {
    frame[n++] = byte;
  }
}

// What the module's answer to the request in TxPacket turned out to be.
enum class Answer {
  kMatch,        // an intact reply with the request's command, item and index
  kRefusal,      // 0x14 or 0x42
  kOther,        // an intact reply with any other command byte
  kDamaged,      // a wrong CRC, or a reply cut short
  kTimeout,      // nothing within the time
  kInterrupted,  // a stop request or a vanished port
};

uint16_t ItemOf(const uint8_t* packet) { return static_cast<uint16_t>(packet[1] | (packet[2] << 8)); }


// A refusal carries the request it refuses one byte on. One that names another
// (a copy of an array's end come late, or again in place of this answer) must
// not end this item: as its refusal, the backup would leave the item out without
// a word. One too short to name any request refuses this one.
bool RefusesRequest(bool array_element) {
  return RxFrame.count < kNvRefusalNamingCount || NvNamesRequest(TxPacket.data, array_element, RxFrame.data + 1);
}

// Sends the request in TxPacket, dropping whatever is still queued from
// earlier requests, and waits until `deadline` for a frame that answers it.
Answer SendAndAwait(Deadline deadline, bool array_element) {
  PurgeDiagPort(kPurgeReceive);
  const int length = EncodeNvFrame(TxPacket.data, kNvRequestLength, nv_frame);
  const int written = WritePort(DiagPort.load(), nv_frame, length);  // a lost request shows as silence
  if (ProtocolTraceOn()) TraceSent(nv_frame, static_cast<size_t>(length), written == length ? "" : "write failed");
  for (;;) {
    // A module that streams bytes without ever closing a frame still times out.
    switch (AwaitFrame(deadline)) {
      case FrameWait::kFrame: break;
      case FrameWait::kNoFrame: return Answer::kTimeout;
      case FrameWait::kStopped:
      case FrameWait::kHungUp: return Answer::kInterrupted;
    }
    const uint8_t command = RxFrame.data[0];
    if (!RxFrameCrcValid()) return Answer::kDamaged;
    if (command == kNvBadParameters || command == kNvBadSecurityMode) {
      if (RefusesRequest(array_element)) return Answer::kRefusal;
      DebugTrace("NV %d: dropped a refusal of item %d", ItemOf(TxPacket.data), ItemOf(RxFrame.data + 1));
      continue;
    }
    if (command != TxPacket.data[0]) return Answer::kOther;
    if (RxFrame.count < kNvFullReplyCount) return Answer::kDamaged;
    if (NvNamesRequest(TxPacket.data, array_element, RxFrame.data)) return Answer::kMatch;
    DebugTrace("NV %d: dropped a reply for item %d", ItemOf(TxPacket.data), ItemOf(RxFrame.data));
  }
}

// The request, and up to two more times when its answer does not come, comes
// damaged or with another code. A refusal or the module's own answer ends it.
Answer Exchange(bool array_element) {
  const Deadline limit = Deadline::AfterMs(kNvReplyLimitMs);
  Answer answer = Answer::kTimeout;
  for (const uint32_t attempt_ms : kNvAttemptLimitMs) {
    const Deadline attempt = Deadline::AfterMs(attempt_ms);
    answer = SendAndAwait(attempt.When() < limit.When() ? attempt : limit, array_element);
    if (answer == Answer::kMatch || answer == Answer::kRefusal || answer == Answer::kInterrupted) return answer;
    DebugTrace("NV %d: %s, asking again", ItemOf(TxPacket.data),
               answer == Answer::kTimeout ? "no reply" : answer == Answer::kDamaged ? "damaged reply" : "other reply");
    // Once the whole time has gone, the module is taken as gone.
    if (limit.Passed()) return answer;
  }
  return answer;
}

NvResult EndWait(Answer answer, const char* timeout_text) {
  wait_interrupted = answer == Answer::kInterrupted;
  if (answer == Answer::kTimeout) TheJob().write_log("%s", timeout_text);
  return NV_TIMEOUT;
}

uint16_t ReplyStatus() { return static_cast<uint16_t>(RxFrame.data[131] | (RxFrame.data[132] << 8)); }

}  // namespace

int EncodeNvFrame(const uint8_t* bytes, int length, uint8_t* frame) {
  if (bytes == nullptr || frame == nullptr || length <= 0) return 0;
  int n = static_cast<int>(EscapeBytes(bytes, static_cast<size_t>(length), frame));
  const uint16_t crc = Crc16(bytes, length * 8);
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

bool NvNamesRequest(const uint8_t* request, bool array_element, const uint8_t* named) {
  return named[0] == request[0] && ItemOf(named) == ItemOf(request) && (!array_element || named[3] == request[3]);
}

bool NvIsArrayItem(uint16_t item) { return item < kNvItemCount && NvItemTable[item].count > 0; }

NvResult NvWaitEnded(bool interrupted, bool write) {
  return EndWait(interrupted ? Answer::kInterrupted : Answer::kTimeout, write ? kWriteTimeoutText : kReadTimeoutText);
}

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

  const Answer answer = Exchange(count != 0);
  if (answer == Answer::kTimeout || answer == Answer::kInterrupted) return EndWait(answer, kReadTimeoutText);
  if (answer == Answer::kRefusal) return NV_REFUSED;
  if (answer == Answer::kMatch) {
    if (save && ReplyStatus() == 0 && open_backup_file != nullptr) open_backup_file->Append(RxFrame.data);
    return NV_DONE;
  }
  if (save) TheJob().show_status(kNvReadFailedText, item);
  return NV_FAILED;
}

NvResult NvWriteItem(uint16_t item) {
  TxPacket.data[0] = kNvWriteCommand;
  TxPacket.data[131] = 0;
  TxPacket.data[132] = 0;
  TxPacket.length = kNvRequestLength;
  const Answer answer = Exchange(NvIsArrayItem(item));
  if (answer == Answer::kTimeout || answer == Answer::kInterrupted) return EndWait(answer, kWriteTimeoutText);
  if (answer == Answer::kRefusal) return NV_REFUSED;
  if (answer == Answer::kMatch) return NV_DONE;
  TheJob().show_status(kNvWriteFailedText, item);
  return NV_FAILED;
}

}  // namespace vek
