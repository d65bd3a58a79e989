#include "sim/frame_decoder.h"

#include "link/crc16.h"
#include "link/hdlc_frame.h"

namespace sim {

void FrameDecoder::Reset() {
  body_.clear();
  wire_.clear();
  escape_ = false;
}

void FrameDecoder::Feed(const uint8_t* data, size_t length, const std::function<void(DecodedFrame&&)>& on_frame) {
  for (size_t i = 0; i < length; ++i) {
    const uint8_t byte = data[i];
    wire_.push_back(byte);
    if (byte == vek::kFrameFlag) {
      if (!body_.empty()) {
        DecodedFrame frame;
        frame.wire = std::move(wire_);
        if (body_.size() >= 2) {
          const size_t n = body_.size() - 2;
          const uint16_t crc = vek::Crc16(body_.data(), static_cast<int>(n * 8));
          frame.crc_ok = body_[n] == (crc & 0xFF) && body_[n + 1] == (crc >> 8);
          frame.packet.assign(body_.begin(), body_.begin() + static_cast<long>(n));
        }
        on_frame(std::move(frame));
        wire_.clear();
      }
      body_.clear();
      escape_ = false;
      continue;
    }
    if (byte == vek::kFrameEscape) {
      escape_ = true;
      continue;
    }
    body_.push_back(escape_ ? static_cast<uint8_t>(byte ^ vek::kEscapeXor) : byte);
    escape_ = false;
    if (body_.size() > 1u << 16) Reset();  // no frame is this long: resynchronise
  }
}

std::vector<uint8_t> FrameReply(const std::vector<uint8_t>& packet, bool opening_flag) {
  std::vector<uint8_t> with_crc = packet;
  const uint16_t crc = vek::Crc16(packet.data(), static_cast<int>(packet.size() * 8));
  with_crc.push_back(static_cast<uint8_t>(crc & 0xFF));
  with_crc.push_back(static_cast<uint8_t>(crc >> 8));
  std::vector<uint8_t> out(with_crc.size() * 2 + 2);
  out.resize(vek::EncodeFrame(with_crc.data(), with_crc.size(), opening_flag, out.data()));
  return out;
}

}  // namespace sim
