// HDLC-like framing of every packet exchanged with the module.
//
// A packet is followed by its CRC-16 (low byte first); bytes 0x7E and 0x7D are
// escaped as 0x7D, byte ^ 0x20; a 0x7E flag closes the frame and, for most
// requests, also opens it. Every request is built in the one transmit record
// `TxPacket`; every reply is read into the one receive record `RxFrame`.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vek {

inline constexpr uint8_t kFrameFlag = 0x7E;
inline constexpr uint8_t kFrameEscape = 0x7D;
inline constexpr uint8_t kEscapeXor = 0x20;

inline constexpr int kPacketCapacity = 2048;
// Every byte of a full packet escaped, plus the two flags: no packet can overflow it.
inline constexpr int kSendBufferSize = 2 * kPacketCapacity + 2;
// Bytes read for one frame after its first byte before the receiver gives up.
inline constexpr int kReceiveBudget = 1000;

struct TxPacketRecord {
  int32_t length = 0;                // request bytes plus the 2 CRC bytes
  uint8_t data[kPacketCapacity] = {};  // unescaped request, then CRC low, CRC high
};

struct RxFrameRecord {
  uint8_t data[kPacketCapacity] = {};  // last frame unescaped, closing flag left at [count]
  int32_t count = 0;                   // bytes stored, CRC included
};

extern TxPacketRecord TxPacket;
extern RxFrameRecord RxFrame;

// Clears TxPacket, copies the request, appends its CRC and sets the length.
// False (and TxPacket left empty) when the request and CRC would not fit.
bool FillTxPacket(const uint8_t* request, size_t length);

// Escapes `length` bytes into `out` (no flags); `out` must hold 2 * length
// bytes. Returns the count written.
size_t EscapeBytes(const uint8_t* bytes, size_t length, uint8_t* out);

// Escapes `packet` into `out` with an optional opening flag and the closing flag.
// `out` must hold 2 * length + 2 bytes. Returns the frame length.
size_t EncodeFrame(const uint8_t* packet, size_t length, bool opening_flag, uint8_t* out);

// Frames TxPacket and writes it to DiagPort, then purges the transmit side.
// True when the whole frame was written.
bool SendPacket(int opening_flag);

// Reads one reply frame from DiagPort into RxFrame without waiting. True only
// when a non-empty frame closed by a flag is complete; a frame whose first
// bytes have arrived is kept and completed by later calls.
bool ReceiveFrame();

// A frame's reply ends the exchange: whatever follows it is stale and thrown
// away. While several requests are in flight their answers follow each other,
// and what follows a frame is the next answer: `keep` holds on to it. The NV
// window sets it for its run (the download worker's thread only).
void KeepBytesAfterFrame(bool keep);

// True when bytes already read from DiagPort wait in the receiver unexamined
// (after an empty frame, for example): the next ReceiveFrame must run before
// anyone sleeps waiting for input.
bool ReceiveFramePending();

// Whether the frame in RxFrame ends with the right CRC over the bytes before it.
bool RxFrameCrcValid();

}  // namespace vek
