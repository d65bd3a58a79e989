#include "link/hdlc_frame.h"

#include <algorithm>
#include <bit>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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
  // How much of RxFrame.data the last frame may have left non-zero: only that
  // is cleared for the next (the whole of it at first).
  int rx_dirty = kPacketCapacity;
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

// Refills the staged bytes from the port once they are used up. False when
// nothing is staged and nothing more has arrived.
bool StageBytes() {
  if (receiver.staged_begin < receiver.staged_end) return true;
  const int n = ReadPort(DiagPort.load(), receiver.staged, sizeof receiver.staged);
  if (n <= 0) return false;
  receiver.staged_begin = 0;
  receiver.staged_end = n;
  return true;
}

// Takes `count` staged bytes: copied for the trace, if on, as far as it holds.
const uint8_t* TakeStaged(int count) {
  const uint8_t* taken = receiver.staged + receiver.staged_begin;
  receiver.staged_begin += count;
  if (receiver.tracing) {
    const int room = static_cast<int>(sizeof receiver.raw) - receiver.raw_count;
    const int copied = count < room ? count : room;
    std::memcpy(receiver.raw + receiver.raw_count, taken, static_cast<size_t>(copied));
    receiver.raw_count += copied;
  }
  return taken;
}

// Appends unescaped bytes to the frame; what goes past its capacity is dropped.
void StoreRun(const uint8_t* bytes, size_t count) {
  const size_t room = static_cast<size_t>(kPacketCapacity - 1 - receiver.stored);
  const size_t stored = count < room ? count : room;
  std::memcpy(receiver.frame + receiver.stored, bytes, stored);
  receiver.stored += static_cast<int>(stored);
}

// Frame body bytes (no flag among them): runs between escapes are copied
// whole. An escape applies to the byte after it, which may come in a later
// call; an escape after an escape is the same single escape.
void StoreBody(const uint8_t* bytes, size_t count) {
  while (count > 0) {
    if (receiver.escape) {
      if (*bytes != kFrameEscape) {
        const uint8_t plain = static_cast<uint8_t>(*bytes ^ kEscapeXor);
        StoreRun(&plain, 1);
        receiver.escape = false;
      }
      ++bytes;
      --count;
      continue;
    }
    const auto* escape = static_cast<const uint8_t*>(std::memchr(bytes, kFrameEscape, count));
    const size_t run = escape != nullptr ? static_cast<size_t>(escape - bytes) : count;
    StoreRun(bytes, run);
    bytes += run;
    count -= run;
    if (escape != nullptr) {
      receiver.escape = true;
      ++bytes;
      --count;
    }
  }
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

namespace {

void PutEscaped(uint8_t byte, uint8_t* out, size_t& n) {
  if (byte == kFrameFlag || byte == kFrameEscape) {
    out[n++] = kFrameEscape;
    out[n++] = static_cast<uint8_t>(byte ^ kEscapeXor);
  } else {
    out[n++] = byte;
  }
}

}  // namespace

size_t EscapeBytes(const uint8_t* bytes, size_t length, uint8_t* out) {
  size_t n = 0;
  size_t i = 0;
#ifdef __SSE2__
  // Sixteen bytes at a time are stored as they are; where one of them is a flag
  // or an escape, only the bytes before it count, it is escaped, and the next
  // sixteen start right after it. Images need an escape in about one byte of 128.
  const __m128i flags = _mm_set1_epi8(static_cast<char>(kFrameFlag));
  const __m128i escapes = _mm_set1_epi8(static_cast<char>(kFrameEscape));
  while (i + 16 <= length) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
    const unsigned special = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(block, flags), _mm_cmpeq_epi8(block, escapes))));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n), block);
    if (special == 0) {
      n += 16;
      i += 16;
      continue;
    }
    const size_t plain = static_cast<size_t>(std::countr_zero(special));
    n += plain;
    i += plain;
    out[n++] = kFrameEscape;
    out[n++] = static_cast<uint8_t>(bytes[i++] ^ kEscapeXor);
  }
#endif
  for (; i < length; ++i) PutEscaped(bytes[i], out, n);
  return n;
}

size_t EncodeFrame(const uint8_t* packet, size_t length, bool opening_flag, uint8_t* out) {
  size_t n = 0;
  if (opening_flag) out[n++] = kFrameFlag;
  n += EscapeBytes(packet, length, out + n);
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
  std::memset(RxFrame.data, 0, static_cast<size_t>(receiver.rx_dirty));
  receiver.rx_dirty = 0;
  RxFrame.count = 0;
  const uint32_t generation = DiagReceiveGeneration();
  if (receiver.generation != generation) ResetReceiver(generation);
  receiver.tracing = ProtocolTraceOn();
  if (!receiver.tracing) receiver.raw_count = 0;

  if (!receiver.in_frame) {
    if (!StageBytes()) return false;
    const uint8_t first = *TakeStaged(1);
    receiver.in_frame = true;
    receiver.budget_used = 0;
    if (first == kFrameEscape) receiver.escape = true;
    else if (first != kFrameFlag) StoreRun(&first, 1);  // a leading flag opens the frame
  }
  // The staged bytes up to the closing flag, or as far as the budget allows,
  // are taken in one piece.
  bool closed = false;
  while (receiver.budget_used < kReceiveBudget) {
    if (!StageBytes()) return false;  // the rest has not arrived yet: keep what we have
    const uint8_t* next = receiver.staged + receiver.staged_begin;
    const int allowed = std::min(receiver.staged_end - receiver.staged_begin, kReceiveBudget - receiver.budget_used);
    const auto* flag = static_cast<const uint8_t*>(std::memchr(next, kFrameFlag, static_cast<size_t>(allowed)));
    const int body = flag != nullptr ? static_cast<int>(flag - next) : allowed;
    TakeStaged(flag != nullptr ? body + 1 : body);
    receiver.budget_used += flag != nullptr ? body + 1 : body;
    StoreBody(next, static_cast<size_t>(body));
    if (flag != nullptr) {
      closed = true;
      break;
    }
  }

  const int stored = receiver.stored;
  std::memcpy(RxFrame.data, receiver.frame, static_cast<size_t>(stored));
  if (closed) RxFrame.data[stored] = kFrameFlag;
  RxFrame.count = stored;
  receiver.rx_dirty = stored + 1;
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
