#include "protocol/stream_commands.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stop_token>
#include <thread>

#include "command_test_support.h"
#include "programmer_fixture.h"
#include "protocol/mode_probe.h"
#include "protocol/reply_wait.h"
#include "records/stop_wait.h"

namespace {

using vektest::Bytes;
using vektest::Frame;
using vektest::Pattern;
using vektest::ProgressReports;
using vektest::ScriptedModule;
using Progress = std::vector<std::pair<uint32_t, int32_t>>;
using sim::FaultKind;
using sim::SimState;
using vektest::StreamAgainstProgrammer;

TEST_F(StreamAgainstProgrammer, APartitionMismatchIsClearedByTheOverride) {
  vek::StoreImageSlot(vek::ImageSlot::kPartition, {0x01, 0x02});
  EXPECT_EQ(vek::StreamPartitionTable(0), vek::kPartitionMismatch);
  EXPECT_EQ(vek::StreamPartitionTable(1), vek::kPartitionAccepted);
  EXPECT_EQ(vek::StreamPartitionTable(0), vek::kPartitionAccepted);
  EXPECT_EQ(sim_.WireAt(0), (Bytes{0x7E, 0x19, 0x00, 0x01, 0x02, 0xD6, 0xFC, 0x7E}));
  std::lock_guard lock(sim_.device().mutex);
  EXPECT_EQ(sim_.device().whole_flash_erasures, 1);
  EXPECT_EQ(sim_.device().partition_table, (Bytes{0x01, 0x02}));
}

TEST_F(StreamAgainstProgrammer, RequestsThatDoNotFitOnePacketAreRefusedUnsent) {
  vek::StoreImageSlot(vek::ImageSlot::kPartition, Bytes(2045, 0x11));
  EXPECT_EQ(vek::StreamPartitionTable(0), vek::kPartitionFailed);
  vek::StoreImageSlot(vek::ImageSlot::kAmsshd, Bytes(2045, 0x22));
  EXPECT_FALSE(vek::StreamOpenImage(vek::IMAGE_AMSS));
  EXPECT_TRUE(sim_.Wire().empty());
  // The largest that fits goes out whole.
  vek::StoreImageSlot(vek::ImageSlot::kAmsshd, Bytes(2044, 0x7E));
  EXPECT_TRUE(vek::StreamOpenImage(vek::IMAGE_AMSS));
  std::lock_guard lock(sim_.device().mutex);
  EXPECT_EQ(sim_.device().flash[vek::IMAGE_AMSS].header, Bytes(2044, 0x7E));
}

TEST_F(StreamAgainstProgrammer, WritesA2500ByteImageInBlocksOfThePlatformsSize) {
  const Bytes image = Pattern(2500, 13, 1);
  vek::StoreImageSlot(vek::ImageSlot::kOemsbl, image);
  vek::StoreImageSlot(vek::ImageSlot::kOemsblhd, {0xA1, 0xA2, 0xA3});
  struct Case {
    uint32_t platform;
    std::vector<uint32_t> offsets;
  };
  for (const Case& c : {Case{vek::PLATFORM_6280, {0, 1024, 2048}}, Case{vek::PLATFORM_60X5, {0, 512, 1024, 1536, 2048}}}) {
    vektest::PrepareJob(c.platform);
    vek::StoreImageSlot(vek::ImageSlot::kOemsbl, image);
    vek::StoreImageSlot(vek::ImageSlot::kOemsblhd, {0xA1, 0xA2, 0xA3});
    sim_.module().ClearRequests();
    ASSERT_TRUE(vek::StreamOpenImage(vek::IMAGE_OEMSBL));
    ASSERT_TRUE(vek::StreamWriteImage(vek::IMAGE_OEMSBL));
    ASSERT_TRUE(vek::StreamClose());
    const auto requests = sim_.module().Requests();
    ASSERT_EQ(requests.size(), c.offsets.size() + 2);
    EXPECT_EQ(requests[0].packet, (Bytes{0x1B, 0x04, 0xA1, 0xA2, 0xA3}));
    Progress progress = {{0, 100}};
    for (size_t i = 0; i < c.offsets.size(); ++i) {
      const auto& p = requests[i + 1].packet;
      ASSERT_GE(p.size(), 5u);
      EXPECT_EQ(p[0], 0x07);
      EXPECT_EQ(Bytes(p.begin() + 1, p.begin() + 5),
                (Bytes{uint8_t(c.offsets[i]), uint8_t(c.offsets[i] >> 8), uint8_t(c.offsets[i] >> 16), 0}));
      const uint32_t end = std::min<uint32_t>(c.offsets[i] + (c.platform == vek::PLATFORM_60X5 ? 512 : 1024), 2500);
      EXPECT_EQ(p.size() - 5, end - c.offsets[i]);
      progress.emplace_back(end, 2500);
    }
    EXPECT_EQ(ProgressReports(), progress);
    EXPECT_TRUE(sim_.AllCrcGood());
    std::lock_guard lock(sim_.device().mutex);
    EXPECT_EQ(sim_.device().flash[vek::IMAGE_OEMSBL].data, image);
    EXPECT_TRUE(sim_.device().flash[vek::IMAGE_OEMSBL].closed);
  }
}

TEST_F(StreamAgainstProgrammer, AnImageWithoutDataSendsNothing) {
  EXPECT_TRUE(vek::StreamWriteImage(vek::IMAGE_AMSS));
  EXPECT_TRUE(vek::StreamWriteImage(vek::IMAGE_EFS));
  EXPECT_TRUE(sim_.Wire().empty());
  EXPECT_EQ(ProgressReports(), (Progress{{0, 100}, {0, 100}}));
}

TEST_F(StreamAgainstProgrammer, OpensWithoutHeaderForOtherTypes) {
  vek::StoreImageSlot(vek::ImageSlot::kOemsblhd, {0x01});
  EXPECT_TRUE(vek::StreamOpenImage(vek::IMAGE_DBL));
  EXPECT_EQ(sim_.WireAt(0), (Bytes{0x7E, 0x1B, 0x0F, 0x89, 0x86, 0x7E}));
}

TEST_F(StreamAgainstProgrammer, ARefusedBlockStopsTheImage) {
  vek::StoreImageSlot(vek::ImageSlot::kAmss, Pattern(3000, 13, 1));
  ASSERT_TRUE(vek::StreamOpenImage(vek::IMAGE_AMSS));
  faults().Add({SimState::kProgrammer, 0x07, FaultKind::kRefuse, 0x0E, 1});
  EXPECT_FALSE(vek::StreamWriteImage(vek::IMAGE_AMSS));
  EXPECT_EQ(sim_.Wire().size(), 2u);
  EXPECT_EQ(ProgressReports(), (Progress{{0, 100}}));
}

TEST_F(StreamAgainstProgrammer, SplitAndCorruptedRepliesAreStillAccepted) {
  faults().Add({SimState::kProgrammer, 0x17, FaultKind::kSplit, 30, 1});
  EXPECT_TRUE(vek::StreamSecurityMode());
  faults().Add({SimState::kProgrammer, 0x1B, FaultKind::kCorruptCrc, 0, 1});
  EXPECT_TRUE(vek::StreamOpenImage(vek::IMAGE_AMSS));
  faults().Add({SimState::kProgrammer, 0x15, FaultKind::kLate, 300, 1});
  EXPECT_TRUE(vek::StreamClose());
}

TEST_F(StreamAgainstProgrammer, UnansweredResetAndBlockFailAtTheirLimit) {
  faults().Add({SimState::kProgrammer, 0x0B, FaultKind::kSilence, 0, 1});
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(vek::StreamReset());
  const auto limit = vek::ScaledMs(vek::kReplyLimitMs) - std::chrono::milliseconds(5);
  EXPECT_GE(std::chrono::steady_clock::now() - start, limit);

  vek::StoreImageSlot(vek::ImageSlot::kAmss, Pattern(1500, 13, 1));
  ASSERT_TRUE(vek::StreamOpenImage(vek::IMAGE_AMSS));
  faults().Add({SimState::kProgrammer, 0x07, FaultKind::kSilence, 0, 1});
  testing::internal::CaptureStdout();
  start = std::chrono::steady_clock::now();
  EXPECT_FALSE(vek::StreamWriteImage(vek::IMAGE_AMSS));
  EXPECT_GE(std::chrono::steady_clock::now() - start, limit);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failure during modem image write!\r\n");
}

TEST_F(StreamAgainstProgrammer, AStopRequestEndsAWaitAtOnce) {
  faults().Add({SimState::kProgrammer, 0x15, FaultKind::kSilence, 0, 1});
  bool closed = true;
  const auto start = std::chrono::steady_clock::now();
  std::jthread worker([&](std::stop_token stop) {
    vek::StopScope scope(stop);
    closed = vek::StreamClose();
  });
  // The request has gone out: the worker waits for the answer that never comes.
  EXPECT_TRUE(vektest::Eventually([&] { return !sim_.Wire().empty(); }, 10000));
  worker.request_stop();
  worker.join();
  EXPECT_FALSE(closed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, vek::ScaledMs(vek::kReplyLimitMs));
}

TEST(StreamWritePacket, CarriesALittleEndianOffset) {
  vektest::PeerPort peer;
  ASSERT_TRUE(vek::OpenDiagPort(7));
  const uint8_t data[] = {0xAA, 0xBB, 0xCC};
  vek::BuildStreamWritePacket(1024, data, 3);
  EXPECT_EQ(vek::TxPacket.length, 10);
  vek::SendPacket(1);
  EXPECT_EQ(peer.Received(), (Bytes{0x7E, 0x07, 0x00, 0x04, 0x00, 0x00, 0xAA, 0xBB, 0xCC, 0xDA, 0xA1, 0x7E}));
}

TEST(ReplyWaitOverScriptedPort, LooksAtBytesBehindAnEmptyFrameWithoutWaiting) {
  Bytes both = {0x7E, 0x7E};
  const Bytes ack = Frame({0x1C});
  both.insert(both.end(), ack.begin(), ack.end());
  ScriptedModule module({{both}});
  ASSERT_TRUE(module.ready());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(vek::StreamEraseEfs());
  // Nothing more comes: a wait for more bytes would last until the reply limit.
  EXPECT_LT(std::chrono::steady_clock::now() - start, vek::ScaledMs(vek::kReplyLimitMs));
}

}  // namespace
