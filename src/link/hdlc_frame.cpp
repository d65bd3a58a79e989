#include "link/hdlc_frame.h"

#include <cstring>

#include "link/crc16.h"
#include "link/serial_port.h"
#include "records/protocol_trace.h"

namespace vek {

TxPacketRecord TxPacket;
RxFrameRecord RxFrame;

namespace {

uint8_t send_buffer[kSendBufferSize];

// What the receiver keeps between calls: the frame being assembled and bytes
// read from the port but not yet looked at. Dropped when the receive side is
// purged, opened or closed.
struct ReceiverState {
  uint32_t generation = 0;
  uint8_t frame[kPacketCapacity] = {};
  int stored = 0;
  int budget_used = 0;
  bool in_frame = false;  // the first byte of a frame has been taken
  bool escape = false;
  uint8_t staged[4096] = {};
  int staged_begin = 0;
  int staged_end = 0;
  // The frame's bytes as they came from the port, kept only while tracing. The
  // receive budget bounds a frame to its first byte plus kReceiveBudget bytes.
  bool tracing = false;
  uint8_t raw[kReceiveBudget + 1] = {};
  int raw_count = 0;
};

ReceiverState receiver;
bool keep_after_frame = false;  // download worker only, as the receiver

// Bytes read but never examined, after a frame: the frame's own bytes are traced first.
void TraceStaged(const char* note) {
  if (receiver.staged_begin < receiver.staged_end)
    TraceReceived(receiver.staged + receiver.staged_begin,
                  static_cast<size_t>(receiver.staged_end - receiver.staged_begin), note);
}

void TraceRawFrame(const char* note) {
  if (receiver.raw_count > 0) TraceReceived(receiver.raw, static_cast<size_t>(receiver.raw_count), note);
  receiver.raw_count = 0;
}

void ResetReceiver(uint32_t generation) {
  if (receiver.tracing) {  // what a purge or re-open took away
    TraceRawFrame("dropped");
    TraceStaged("dropped");
  }
  receiver.raw_count = 0;
  receiver.generation = generation;
  receiver.stored = 0;
  receiver.budget_used = 0;
  receiver.in_frame = false;
  receiver.escape = false;
  receiver.staged_begin = receiver.staged_end = 0;
}

// Next byte from what was read earlier or, when that is used up, from the port.
bool NextByte(uint8_t& byte) {
  if (receiver.staged_begin == receiver.staged_end) {
    const int n = ReadPort(DiagPort.load(), receiver.staged, sizeof receiver.staged);
    if (n <= 0) return false;
    receiver.staged_begin = 0;
    receiver.staged_end = n;
  }
  byte = receiver.staged[receiver.staged_begin++];
  if (receiver.tracing && receiver.raw_count < static_cast<int>(sizeof receiver.raw))
    receiver.raw[receiver.raw_count++] = byte;
  return true;
}

void StoreBodyByte(uint8_t byte) {
  if (byte == kFrameEscape) {
    receiver.escape = true;
    return;
  }
  if (receiver.stored < kPacketCapacity - 1)
    receiver.frame[receiver.stored++] = receiver.escape ? static_cast<uint8_t>(byte ^ kEscapeXor) : byte;
  receiver.escape = false;
}

}  // namespace

bool FillTxPacket(const uint8_t* request, size_t length) {
  std::memset(TxPacket.data, 0, sizeof TxPacket.data);
  TxPacket.length = 0;
  if (length + 2 > static_cast<size_t>(kPacketCapacity) || (request == nullptr && length > 0)) return false;
  if (length > 0) std::memcpy(TxPacket.data, request, length);
  const uint16_t crc = Crc16(TxPacket.data, static_cast<int>(length * 8));
  TxPacket.data[length] = static_cast<uint8_t>(crc & 0xFF);
  TxPacket.data[length + 1] = static_cast<uint8_t>(crc >> 8);
  TxPacket.length = static_cast<int32_t>(length + 2);
  return true;
}

size_t EncodeFrame(const uint8_t* packet, size_t length, bool opening_flag, uint8_t* out) {
  size_t n = 0;
  if (opening_flag) out[n++] = kFrameFlag;
  for (size_t i = 0; i < length; ++i) {
    const uint8_t byte = packet[i];
    if (byte == kFrameFlag || byte == kFrameEscape) {
      out[n++] = kFrameEscape;
      out[n++] = static_cast<uint8_t>(byte ^ kEscapeXor);
    } else {
      out[n++] = byte;
    }
  }
  out[n++] = kFrameFlag;
  return n;
}

bool SendPacket(int opening_flag) {
  if (TxPacket.length < 0 || TxPacket.length > kPacketCapacity) return false;
  const size_t frame_length =
      EncodeFrame(TxPacket.data, static_cast<size_t>(TxPacket.length), opening_flag == 1, send_buffer);
  const int written = WritePort(DiagPort.load(), send_buffer, static_cast<int>(frame_length));
  if (ProtocolTraceOn())
    TraceSent(send_buffer, frame_length, written == static_cast<int>(frame_length) ? "" : "write failed");
  // A complete write has drained the output queue, so the purge would find
  // nothing of ours to discard; only a short write leaves output to drop.
  if (written != static_cast<int>(frame_length)) PurgeDiagPort(kPurgeTransmit);
  return written == static_cast<int>(frame_length);
}

bool ReceiveFrame() {
  std::memset(RxFrame.data, 0, sizeof RxFrame.data);
  RxFrame.count = 0;
  const uint32_t generation = DiagReceiveGeneration();
  if (receiver.generation != generation) ResetReceiver(generation);
  receiver.tracing = ProtocolTraceOn();
  if (!receiver.tracing) receiver.raw_count = 0;

  uint8_t byte = 0;
  if (!receiver.in_frame) {
    if (!NextByte(byte)) return false;
    receiver.in_frame = true;
    receiver.budget_used = 0;
    if (byte != kFrameFlag) StoreBodyByte(byte);  // a leading flag opens the frame
  }
  bool closed = false;
  while (receiver.budget_used < kReceiveBudget) {
    if (!NextByte(byte)) return false;  // the rest has not arrived yet: keep what we have
    ++receiver.budget_used;
    if (byte == kFrameFlag) {
      closed = true;
      break;
    }
    StoreBodyByte(byte);
  }

  const int stored = receiver.stored;
  std::memcpy(RxFrame.data, receiver.frame, static_cast<size_t>(stored));
  if (closed) RxFrame.data[stored] = kFrameFlag;
  RxFrame.count = stored;
  std::memset(receiver.frame, 0, static_cast<size_t>(stored));
  receiver.stored = 0;
  receiver.in_frame = false;
  receiver.escape = false;
  if (receiver.tracing) TraceRawFrame(closed ? "" : "unclosed");
  if (stored == 0) return false;  // an empty frame: nothing is purged

  if (keep_after_frame) return closed;
  // Whatever followed the frame is stale: discard it.
  if (receiver.tracing) TraceStaged("discarded");
  PurgeDiagPort(kPurgeReceive);
  receiver.generation = DiagReceiveGeneration();
  receiver.staged_begin = receiver.staged_end = 0;
  return closed;
}

void KeepBytesAfterFrame(bool keep) { keep_after_frame = keep; }

bool ReceiveFramePending() {
  return receiver.generation == DiagReceiveGeneration() && receiver.staged_begin < receiver.staged_end;
}

bool RxFrameCrcValid() {
  const int count = RxFrame.count;
  if (count < 3 || count > kPacketCapacity) return false;
  const uint16_t crc = Crc16(RxFrame.data, (count - 2) * 8);
  return RxFrame.data[count - 2] == (crc & 0xFF) && RxFrame.data[count - 1] == (crc >> 8);
}

}  // namespace vek
