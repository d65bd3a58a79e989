// The protocol trace's lines: a test playing the module on a bare pseudo-terminal,
// and many threads writing at once.
#include "records/protocol_trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <thread>

#include "at/at_exchange.h"
#include "link/hdlc_frame.h"
#include "protocol/diag_commands.h"
#include "protocol/mode_probe.h"
#include "records/job_records.h"
#include "records/reporting.h"
#include "sim/sim_module.h"
#include "test_support.h"
#include "trace_file_reader.h"

namespace {

using Bytes = std::vector<uint8_t>;
using vektest::ExpectWellFormedAndInOrder;
using vektest::ReadTraceFile;
using vektest::TraceFile;

class TraceOfScriptedPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(vek::OpenDiagPort(7));
    ASSERT_TRUE(vek::StartProtocolTrace(path_));
  }
  void TearDown() override { vek::StopProtocolTrace(); }

  vektest::TempDir dir_;
  std::string path_ = dir_.File("trace.txt");
  vektest::PeerPort peer_;
};

// A frame longer than a line continues on the next lines; joined, it is the
// exact wire bytes, escapes and all.
TEST_F(TraceOfScriptedPeer, ALongFrameSpansLinesAndLosesNothing) {
  Bytes packet(2000, vek::kFrameFlag);  // every byte escaped: 4000 bytes on the wire
  for (size_t i = 0; i < packet.size(); i += 3) packet[i] = static_cast<uint8_t>(i);
  ASSERT_TRUE(vek::FillTxPacket(packet.data(), packet.size()));
  Bytes wire;
  std::thread reader([&] { wire = peer_.Received(); });
  EXPECT_TRUE(vek::SendPacket(1));
  reader.join();
  vek::StopProtocolTrace();

  const TraceFile trace = ReadTraceFile(path_);
  ExpectWellFormedAndInOrder(trace);
  const auto sent = trace.Of('>');
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_GT(wire.size(), vek::kTraceBytesPerLine);
  EXPECT_EQ(sent[0].bytes, wire);
  EXPECT_TRUE(sent[0].notes.empty());
}

// A reply that arrives in pieces is one line; what followed it in the same read
// is traced as discarded, not lost.
TEST_F(TraceOfScriptedPeer, AFrameInPiecesIsOneLineAndTheRestIsDiscarded) {
  peer_.Send({0x7E, 0x02, 0x7D, 0x5E});
  EXPECT_FALSE(vek::ReceiveFrame());
  peer_.Send({0x6A, 0xD3, 0x7E, 0x13, 0x14});
  ASSERT_TRUE(vektest::Eventually([] { return vek::ReceiveFrame(); }));
  vek::StopProtocolTrace();

  const auto received = ReadTraceFile(path_).Of('<');
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].bytes, (Bytes{0x7E, 0x02, 0x7D, 0x5E, 0x6A, 0xD3, 0x7E}));
  EXPECT_TRUE(received[0].notes.empty());
  EXPECT_EQ(received[1].bytes, (Bytes{0x13, 0x14}));
  EXPECT_EQ(received[1].notes, std::vector<std::string>{"discarded"});
}

// Frames from the worker and statuses from other threads: every line whole, in
// time order, none lost.
TEST(ProtocolTrace, LinesFromManyThreadsStayWholeAndOrdered) {
  vektest::TempDir dir;
  const std::string path = dir.File("trace.txt");
  ASSERT_TRUE(vek::StartProtocolTrace(path));
  constexpr int kEach = 300;
  const Bytes frame(600, 0x5A);
  std::thread frames([&] {
    for (int i = 0; i < kEach; ++i) vek::TraceSent(frame.data(), frame.size());
  });
  std::thread statuses([] {
    for (int i = 0; i < kEach; ++i) vek::TraceStatus("status " + std::to_string(i));
  });
  frames.join();
  statuses.join();
  vek::StopProtocolTrace();

  const TraceFile trace = ReadTraceFile(path);
  ExpectWellFormedAndInOrder(trace);
  const auto sent = trace.Of('>');
  ASSERT_EQ(sent.size(), static_cast<size_t>(kEach));
  for (const auto& record : sent) ASSERT_EQ(record.bytes, frame);
  EXPECT_EQ(trace.Of('#').size(), kEach + 2u);  // with the start and stop lines
  EXPECT_TRUE(trace.HasStatus("status " + std::to_string(kEach - 1)));
}

TEST(ProtocolTrace, TextsStayOnOneLine) {
  EXPECT_EQ(vek::EscapeTraceText("OK\r\n\"a\\b\"\t\x01\x7F 0′4″"), "OK\\r\\n\\\"a\\\\b\\\"\\t\\x01\\x7F 0′4″");
}

}  // namespace
