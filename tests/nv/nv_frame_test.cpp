#include <gtest/gtest.h>

#include <vector>

#include "link/crc16.h"
#include "nv/nv_exchange.h"
#include "sim/frame_decoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Encode(const Bytes& request) {
  Bytes frame(vek::kNvFrameCapacity);
  frame.resize(vek::EncodeNvFrame(request.data(), static_cast<int>(request.size()), frame.data()));
  return frame;
}

Bytes ReadRequest(uint16_t item) {
  Bytes request(vek::kNvRequestLength, 0);
  request[0] = 0x26;
  request[1] = static_cast<uint8_t>(item);
  request[2] = static_cast<uint8_t>(item >> 8);
  return request;
}

// The module's decoder must get back exactly the request, with a good CRC.
void ExpectDecodesTo(const Bytes& frame, const Bytes& request) {
  sim::FrameDecoder decoder;
  int frames = 0;
  decoder.Feed(frame.data(), frame.size(), [&](sim::DecodedFrame&& decoded) {
    ++frames;
    EXPECT_TRUE(decoded.crc_ok);
    EXPECT_EQ(decoded.packet, request);
  });
  EXPECT_EQ(frames, 1);
}

TEST(NvFrame, NothingToEncode) {
  uint8_t frame[vek::kNvFrameCapacity];
  const uint8_t byte = 0x26;
  EXPECT_EQ(vek::EncodeNvFrame(nullptr, 133, frame), 0);
  EXPECT_EQ(vek::EncodeNvFrame(&byte, 0, frame), 0);
  EXPECT_EQ(vek::EncodeNvFrame(&byte, 1, nullptr), 0);
}

TEST(NvFrame, HasNoOpeningFlagAndEscapesFlagBytesInTheData) {
  Bytes request = ReadRequest(1);
  request[3] = 0x7E;
  request[4] = 0x7D;
  const Bytes frame = Encode(request);
  EXPECT_EQ(frame.front(), 0x26);
  EXPECT_EQ(frame.back(), 0x7E);
  EXPECT_EQ(Bytes(frame.begin() + 3, frame.begin() + 7), (Bytes{0x7D, 0x5E, 0x7D, 0x5D}));
  ExpectDecodesTo(frame, request);
}

TEST(NvFrame, EscapesACrcByteOfZero) {
  // Find a request whose CRC low byte is 0x00 by varying one data byte.
  Bytes request = ReadRequest(2);
  int found = 0;
  for (int v = 0; v < 65536 && !found; ++v) {
    request[5] = static_cast<uint8_t>(v);
    request[6] = static_cast<uint8_t>(v >> 8);
    if ((vek::Crc16(request.data(), 133 * 8) & 0xFF) == 0x00) found = 1;
  }
  ASSERT_TRUE(found);
  const uint16_t crc = vek::Crc16(request.data(), 133 * 8);
  const Bytes frame = Encode(request);
  const Bytes tail(frame.end() - 4, frame.end());
  const uint8_t high = static_cast<uint8_t>(crc >> 8);
  if (high == 0x7E || high == 0x7D || high == 0x00) {
    EXPECT_EQ(Bytes(frame.end() - 5, frame.end() - 3), (Bytes{0x7D, 0x20}));
  } else {
    EXPECT_EQ(tail, (Bytes{0x7D, 0x20, high, 0x7E}));
  }
  ExpectDecodesTo(frame, request);
}

TEST(NvFrame, AFullyEscapedRequestFitsTheFrameBuffer) {
  const Bytes request(vek::kNvRequestLength, 0x7E);
  const Bytes frame = Encode(request);
  EXPECT_LE(frame.size(), 271u);
  EXPECT_GE(frame.size(), 2u * 133 + 3);
  ExpectDecodesTo(frame, request);
}

}  // namespace
