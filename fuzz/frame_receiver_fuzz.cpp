// Every byte from the module's diagnostic port, arriving in any pieces.
//
// The receiver reads the diagnostic port itself, so the bytes go through a
// pipe standing in for the port: the input is a sequence of pieces, each a
// length byte and up to that many bytes, written one piece at a time with the
// receiver run dry after each (a length byte L carries L + 1 bytes, fewer at
// the end of the input). A receive purge, which on a terminal discards
// what is unread, empties the pipe likewise.
//
// An input whose first byte is 0xFF instead frames its remaining bytes the way
// the host frames a request and checks that the receiver gives them back.
#include <algorithm>
#include <cstring>

#include "fuzz_support.h"
#include "link/hdlc_frame.h"
#include "link/serial_port.h"
#include "pipe_port.h"

namespace {

vek::fuzz::PipePort* port = nullptr;

void CheckFrame() {
  const int count = vek::RxFrame.count;
  VEK_FUZZ_REQUIRE(count > 0 && count < vek::kPacketCapacity);
  VEK_FUZZ_REQUIRE(vek::RxFrame.data[count] == vek::kFrameFlag);
}

// Runs the receiver until it has looked at every byte written so far.
int DrainReceiver() {
  int frames = 0;
  for (int calls = 0;; ++calls) {
    VEK_FUZZ_REQUIRE(calls < 1 << 20);  // every call takes a byte or ends the loop
    const uint32_t generation = vek::DiagReceiveGeneration();
    const bool complete = vek::ReceiveFrame();
    if (vek::DiagReceiveGeneration() != generation) port->Discard();
    VEK_FUZZ_REQUIRE(vek::RxFrame.count >= 0 && vek::RxFrame.count < vek::kPacketCapacity);
    if (complete) {
      CheckFrame();
      frames += vek::RxFrameCrcValid() ? 2 : 1;
    }
    if (!complete && !vek::ReceiveFramePending() && port->Unread() == 0) return frames;
  }
}

void RoundTrip(const uint8_t* data, size_t size) {
  // Every request has at least its command byte.
  if (size == 0 || !vek::FillTxPacket(data, size)) return;
  static uint8_t frame[vek::kSendBufferSize];
  const size_t length =
      vek::EncodeFrame(vek::TxPacket.data, static_cast<size_t>(vek::TxPacket.length), true, frame);
  // Longer frames exceed what the receiver reads for one frame.
  if (length - 1 > static_cast<size_t>(vek::kReceiveBudget)) return;
  port->Write(frame, length);
  VEK_FUZZ_REQUIRE(vek::ReceiveFrame());
  CheckFrame();
  VEK_FUZZ_REQUIRE(vek::RxFrame.count == vek::TxPacket.length);
  VEK_FUZZ_REQUIRE(std::memcmp(vek::RxFrame.data, vek::TxPacket.data, static_cast<size_t>(vek::TxPacket.length)) == 0);
  VEK_FUZZ_REQUIRE(vek::RxFrameCrcValid());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  port = &vek::fuzz::PipePort::Installed();
  // A fresh port: whatever the last input left behind is gone.
  port->Discard();
  vek::PurgeDiagPort(vek::kPurgeReceive);

  if (size > 0 && data[0] == 0xFF) {
    RoundTrip(data + 1, size - 1);
    return 0;
  }
  int frames = 0;
  size_t at = 0;
  while (at < size) {
    const size_t piece = std::min<size_t>(data[at] + 1u, size - at - 1);
    ++at;
    port->Write(data + at, piece);
    at += piece;
    frames += DrainReceiver();
  }
  vek::fuzz::Keep(frames);
  return 0;
}
