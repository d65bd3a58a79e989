// The simulated module's side of the framing: splits the host's byte stream
// into packets, checking each one's CRC.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace sim {

struct DecodedFrame {
  std::vector<uint8_t> packet;  // unescaped, without the CRC bytes
  std::vector<uint8_t> wire;    // the bytes as they came, flags included
  bool crc_ok = false;
};

class FrameDecoder {
 public:
  // Feeds bytes; calls `on_frame` for every complete non-empty frame.
  void Feed(const uint8_t* data, size_t length, const std::function<void(DecodedFrame&&)>& on_frame);
  void Reset();

 private:
  std::vector<uint8_t> body_;
  std::vector<uint8_t> wire_;
  bool escape_ = false;
};

// A packet framed as the module sends it: packet, CRC low/high, escaped, closing flag.
std::vector<uint8_t> FrameReply(const std::vector<uint8_t>& packet, bool opening_flag);

}  // namespace sim
