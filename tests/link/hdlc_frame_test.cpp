#include "link/hdlc_frame.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <thread>

#include "link/crc16.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

class FramingOverPty : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(vek::OpenDiagPort(7)); }

  Bytes RxBytes(size_t n) const { return Bytes(vek::RxFrame.data, vek::RxFrame.data + n); }

  // Sends bytes as the module and waits until they can be read.
  void ModuleSends(const Bytes& bytes) {
    peer_.Send(bytes);
    pollfd p{vek::DiagPort.load(), POLLIN, 0};
    poll(&p, 1, 1000);
  }

  vektest::PeerPort peer_;
};

TEST_F(FramingOverPty, SendsTheProbePacketWithAndWithoutOpeningFlag) {
  vek::TxPacket.length = 3;
  vek::TxPacket.data[0] = 0x06;
  vek::TxPacket.data[1] = 0x4E;
  vek::TxPacket.data[2] = 0x95;
  EXPECT_TRUE(vek::SendPacket(1));
  EXPECT_EQ(peer_.Received(), (Bytes{0x7E, 0x06, 0x4E, 0x95, 0x7E}));
  EXPECT_TRUE(vek::SendPacket(0));
  EXPECT_EQ(peer_.Received(), (Bytes{0x06, 0x4E, 0x95, 0x7E}));
}

TEST_F(FramingOverPty, FillTxPacketAppendsTheCrcLowByteFirst) {
  const uint8_t nop = 0x06;
  ASSERT_TRUE(vek::FillTxPacket(&nop, 1));
  EXPECT_EQ(vek::TxPacket.length, 3);
  EXPECT_EQ(Bytes(vek::TxPacket.data, vek::TxPacket.data + 4), (Bytes{0x06, 0x4E, 0x95, 0x00}));
}

TEST_F(FramingOverPty, EscapesFlagAndEscapeBytesOnly) {
  const uint8_t request[] = {0x7E, 0x7D, 0x11, 0x00};
  ASSERT_TRUE(vek::FillTxPacket(request, sizeof request));
  EXPECT_TRUE(vek::SendPacket(1));
  const Bytes sent = peer_.Received();
  ASSERT_GE(sent.size(), 7u);
  EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 7), (Bytes{0x7E, 0x7D, 0x5E, 0x7D, 0x5D, 0x11, 0x00}));
}

TEST_F(FramingOverPty, EscapesACrcByteThatCollidesWithTheFlag) {
  // Find a one-byte packet whose CRC has a 0x7E or 0x7D byte.
  for (int b = 0; b < 256; ++b) {
    const uint8_t request = static_cast<uint8_t>(b);
    const uint16_t crc = vek::Crc16(&request, 8);
    const uint8_t low = crc & 0xFF, high = crc >> 8;
    if (low != 0x7E && low != 0x7D && high != 0x7E && high != 0x7D) continue;
    if (request == 0x7E || request == 0x7D) continue;
    ASSERT_TRUE(vek::FillTxPacket(&request, 1));
    vek::SendPacket(0);
    Bytes expected{request};
    for (uint8_t c : {low, high}) {
      if (c == 0x7E || c == 0x7D) {
        expected.push_back(0x7D);
        expected.push_back(c ^ 0x20);
      } else {
        expected.push_back(c);
      }
    }
    expected.push_back(0x7E);
    EXPECT_EQ(peer_.Received(), expected);
    return;
  }
  FAIL() << "no packet byte gives a CRC byte that needs escaping";
}

TEST_F(FramingOverPty, AFullPacketOfFlagBytesFitsTheSendBuffer) {
  Bytes request(vek::kPacketCapacity - 2, 0x7E);
  ASSERT_TRUE(vek::FillTxPacket(request.data(), request.size()));
  Bytes received;
  std::thread reader([&] { received = peer_.Received(2000); });
  EXPECT_TRUE(vek::SendPacket(1));
  reader.join();
  EXPECT_GE(received.size(), 2u * (vek::kPacketCapacity - 2) + 4u);
  EXPECT_FALSE(vek::FillTxPacket(request.data(), vek::kPacketCapacity - 1));
}

TEST_F(FramingOverPty, ReceivesAFrameWithOpeningFlag) {
  ModuleSends({0x7E, 0x02, 0x6A, 0xD3, 0x7E});
  EXPECT_TRUE(vek::ReceiveFrame());
  EXPECT_EQ(vek::RxFrame.count, 3);
  EXPECT_EQ(RxBytes(6), (Bytes{0x02, 0x6A, 0xD3, 0x7E, 0x00, 0x00}));
  EXPECT_TRUE(vek::RxFrameCrcValid());
}

TEST_F(FramingOverPty, ReceivesAFrameWithoutOpeningFlag) {
  ModuleSends({0x15, 0x06, 0x58, 0x81, 0x7E});
  EXPECT_TRUE(vek::ReceiveFrame());
  EXPECT_EQ(vek::RxFrame.count, 4);
  EXPECT_EQ(RxBytes(5), (Bytes{0x15, 0x06, 0x58, 0x81, 0x7E}));
}

TEST_F(FramingOverPty, AnEmptyFrameIsNoFrame) {
  ModuleSends({0x7E, 0x7E});
  EXPECT_FALSE(vek::ReceiveFrame());
  EXPECT_EQ(vek::RxFrame.count, 0);
}

TEST_F(FramingOverPty, UnescapesAndLeavesTheClosingFlagAtCount) {
  ModuleSends({0x02, 0x7D, 0x5E, 0x7E});
  EXPECT_TRUE(vek::ReceiveFrame());
  EXPECT_EQ(vek::RxFrame.count, 2);
  EXPECT_EQ(RxBytes(4), (Bytes{0x02, 0x7E, 0x7E, 0x00}));
}

TEST_F(FramingOverPty, NothingArrivedGivesFalseAtOnce) {
  EXPECT_FALSE(vek::ReceiveFrame());
  EXPECT_EQ(vek::RxFrame.count, 0);
}

TEST_F(FramingOverPty, AFrameArrivingInTwoPiecesIsCompletedNotSplit) {
  ModuleSends({0x7E, 0x02, 0x6A});
  EXPECT_FALSE(vek::ReceiveFrame());
  EXPECT_EQ(vek::RxFrame.count, 0);
  ModuleSends({0x7D});  // an escape split from its byte
  EXPECT_FALSE(vek::ReceiveFrame());
  ModuleSends({0x5E, 0xD3, 0x7E});
  EXPECT_TRUE(vek::ReceiveFrame());
  EXPECT_EQ(vek::RxFrame.count, 4);
  EXPECT_EQ(RxBytes(5), (Bytes{0x02, 0x6A, 0x7E, 0xD3, 0x7E}));
}

TEST_F(FramingOverPty, APurgeDropsAHalfReceivedFrame) {
  ModuleSends({0x7E, 0x02, 0x6A});
  EXPECT_FALSE(vek::ReceiveFrame());
  vek::PurgeDiagPort(vek::kPurgeReceive);
  ModuleSends({0x7E, 0x08, 0x01, 0x02, 0x7E});
  EXPECT_TRUE(vek::ReceiveFrame());
  EXPECT_EQ(RxBytes(4), (Bytes{0x08, 0x01, 0x02, 0x7E}));
}

TEST_F(FramingOverPty, BytesAfterAFrameArePurged) {
  ModuleSends({0x7E, 0x02, 0x6A, 0xD3, 0x7E, 0x7E, 0x03, 0x01, 0x02, 0x7E});
  EXPECT_TRUE(vek::ReceiveFrame());
  EXPECT_EQ(vek::RxFrame.data[0], 0x02);
  EXPECT_FALSE(vek::ReceiveFrame());
}

TEST_F(FramingOverPty, GivesUpAfterTheByteBudgetAndPurgesTheRest) {
  Bytes endless(1300, 0x11);
  std::thread writer([&] { peer_.Send(endless); });
  writer.join();
  vektest::Eventually([] {
    int queued = 0;
    ioctl(vek::DiagPort.load(), FIONREAD, &queued);
    return queued >= 1300;
  });
  EXPECT_FALSE(vek::ReceiveFrame());
  EXPECT_EQ(vek::RxFrame.count, 1001);
  EXPECT_FALSE(vek::ReceiveFrame());
  EXPECT_EQ(vek::RxFrame.count, 0);
}

TEST_F(FramingOverPty, ABadCrcIsReceivedButReportedInvalid) {
  ModuleSends({0x7E, 0x02, 0x6A, 0xD4, 0x7E});
  EXPECT_TRUE(vek::ReceiveFrame());
  EXPECT_FALSE(vek::RxFrameCrcValid());
}

// Every flag or escape at each place around the eight-byte words the encoder
// copies whole, against a byte-by-byte encoding.
TEST(EscapeBytes, MatchesEscapingByteByByteAtEveryWordEdge) {
  for (size_t length = 1; length <= 26; ++length)
    for (size_t at = 0; at < length; ++at)
      for (const uint8_t special : {uint8_t{0x7E}, uint8_t{0x7D}}) {
        Bytes plain(length);
        for (size_t i = 0; i < length; ++i) plain[i] = static_cast<uint8_t>(0x41 + i);
        plain[at] = special;
        Bytes expected;
        for (const uint8_t byte : plain) {
          if (byte == 0x7E || byte == 0x7D) expected.insert(expected.end(), {0x7D, static_cast<uint8_t>(byte ^ 0x20)});
          else expected.push_back(byte);
        }
        Bytes out(2 * length);
        out.resize(vek::EscapeBytes(plain.data(), length, out.data()));
        EXPECT_EQ(out, expected) << "length " << length << ", byte " << at;
      }
}

// The receiver takes runs between flags and escapes whole: a frame of escapes
// cut at each place arrives intact.
TEST_F(FramingOverPty, AFrameOfEscapesCutAnywhereArrivesIntact) {
  const Bytes body{0x01, 0x7E, 0x7D, 0x02, 0x03, 0x7D, 0x7E, 0x04};
  Bytes wire{0x7E};
  wire.resize(1 + 2 * body.size());
  wire.resize(1 + vek::EscapeBytes(body.data(), body.size(), wire.data() + 1));
  wire.push_back(0x7E);
  for (size_t cut = 1; cut < wire.size(); ++cut) {
    ModuleSends(Bytes(wire.begin(), wire.begin() + static_cast<long>(cut)));
    EXPECT_FALSE(vek::ReceiveFrame());
    ModuleSends(Bytes(wire.begin() + static_cast<long>(cut), wire.end()));
    ASSERT_TRUE(vek::ReceiveFrame()) << "cut at " << cut;
    EXPECT_EQ(RxBytes(body.size() + 1), (Bytes{0x01, 0x7E, 0x7D, 0x02, 0x03, 0x7D, 0x7E, 0x04, 0x7E})) << cut;
  }
}

}  // namespace
