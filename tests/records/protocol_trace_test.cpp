// The protocol trace against real pseudo-terminals: the simulated module in this
// process, or a test playing the module on a bare pty.
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
using vektest::ReadTraceFile;
using vektest::TraceFile;

const Bytes kProbe{0x7E, 0x06, 0x4E, 0x95, 0x7E};

// The frame's packet: flags dropped, escapes undone.
Bytes Unframe(const Bytes& wire) {
  Bytes packet;
  bool escape = false;
  for (const uint8_t byte : wire) {
    if (byte == vek::kFrameFlag) continue;
    if (byte == vek::kFrameEscape) {
      escape = true;
      continue;
    }
    packet.push_back(escape ? static_cast<uint8_t>(byte ^ vek::kEscapeXor) : byte);
    escape = false;
  }
  return packet;
}

void ExpectWellFormedAndInOrder(const TraceFile& trace) {
  EXPECT_TRUE(trace.well_formed) << (trace.bad_lines.empty() ? "" : trace.bad_lines.front());
  for (size_t i = 1; i < trace.records.size(); ++i)
    EXPECT_LE(trace.records[i - 1].stamp, trace.records[i].stamp) << "record " << i;
}

class TraceOfSimulatedModule : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::SimModuleOptions options;
    options.port_map_path = dir_.File("ports");
    options.at.model = "ZX2180";
    options.at.revision = "ZX2180_SIM_V1.0";
    module_ = std::make_unique<sim::SimModule>(options);
    ASSERT_TRUE(module_->Start());
    vek::SetPortMapPath(options.port_map_path);
    ASSERT_TRUE(vek::OpenDiagPort(module_->ComNumber(sim::SimPortRole::kDiagnostics)));
    vek::InstallStandardCallbacks(vek::TheJob());
  }
  void TearDown() override {
    vek::StopProtocolTrace();
    vek::CloseDiagPort();
    module_.reset();
    vek::SetPortMapPath("");
  }

  vektest::TempDir dir_;
  std::unique_ptr<sim::SimModule> module_;
};

// The probe, a version request and an AT exchange, each as the module saw it and
// as the host read it back; a status text and a message box between them.
TEST_F(TraceOfSimulatedModule, HoldsEveryByteEachWayAndTheTexts) {
  const std::string path = dir_.File("trace.txt");
  ASSERT_TRUE(vek::StartProtocolTrace(path));
  ASSERT_EQ(vek::ProbeMode(), vek::TARGET_DIAG);
  vek::TheJob().show_status("backup NVB:NV %d backup failed \r\n", 7);
  ASSERT_TRUE(vek::DiagVersion());
  const Bytes version_reply(vek::RxFrame.data, vek::RxFrame.data + vek::RxFrame.count);
  vek::TheJob().show_message(1, "the \"image\" folder", "VEK");
  char reply[256] = {};
  const uint32_t at_port = module_->ComNumber(sim::SimPortRole::kAt);
  const vek::AtTransfer at = vek::AtTransact(at_port, reinterpret_cast<const uint8_t*>("ATI\r"), 4, 2000, reply,
                                             sizeof reply, false);
  ASSERT_GT(at.received, 0);
  vek::StopProtocolTrace();

  const TraceFile trace = ReadTraceFile(path);
  ExpectWellFormedAndInOrder(trace);
  const auto sent = trace.Of('>');
  const auto received = trace.Of('<');
  // Every diagnostic frame exactly as it reached the module, in order, then the AT text.
  const auto requests = module_->Requests();
  ASSERT_EQ(requests.size(), 2u);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].bytes, kProbe);
  EXPECT_EQ(vektest::HexText(sent[0].bytes), "7E 06 4E 95 7E");
  EXPECT_EQ(sent[1].bytes, requests[1].wire);
  EXPECT_EQ(sent[2].body, "\"ATI\\r\" [COM" + std::to_string(at_port) + "]");
  // The firmware's answer to the probe (the five bytes read), the version
  // reply as one frame ending in its flag, then the AT reply as text.
  ASSERT_EQ(received.size(), 3u);
  EXPECT_EQ(received[0].bytes, (Bytes{0x15, 0x06, 0x58, 0x81, 0x7E}));
  EXPECT_EQ(received[1].bytes.back(), vek::kFrameFlag);
  EXPECT_EQ(Unframe(received[1].bytes), version_reply);
  EXPECT_NE(received[2].body.find("ZX2180_SIM_V1.0"), std::string::npos) << received[2].body;
  EXPECT_TRUE(trace.HasStatus("backup NVB:NV 7 backup failed \\r\\n"));
  const auto texts = trace.Of('#');
  EXPECT_TRUE(std::any_of(texts.begin(), texts.end(),
                          [](const auto& r) { return r.body == "box: VEK: the \\\"image\\\" folder"; }));
  EXPECT_EQ(texts.front().body.rfind("trace: started ", 0), 0u);
  EXPECT_EQ(texts.back().body, "trace: stopped");
}

// Tracing off: the hooks write nothing anywhere, and a trace file that cannot
// be opened or written leaves the exchange working, with one warning.
TEST_F(TraceOfSimulatedModule, OffOrUnwritableNeverStopsTheExchange) {
  const std::string path = dir_.File("stopped.txt");
  ASSERT_TRUE(vek::StartProtocolTrace(path));
  vek::StopProtocolTrace();
  const auto stopped_size = std::filesystem::file_size(path);
  EXPECT_FALSE(vek::ProtocolTraceOn());
  EXPECT_EQ(vek::ProbeMode(), vek::TARGET_DIAG);
  vek::TheJob().show_status("ready to download");
  EXPECT_EQ(std::filesystem::file_size(path), stopped_size);

  for (const std::string& unusable : {dir_.File("no-such-folder/trace.txt"), std::string("/dev/full")}) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(vek::StartProtocolTrace(unusable));
    EXPECT_FALSE(vek::ProtocolTraceOn());
    EXPECT_EQ(vek::ProbeMode(), vek::TARGET_DIAG);
    EXPECT_TRUE(vek::DiagVersion());
    const std::string warning = testing::internal::GetCapturedStderr();
    EXPECT_NE(warning.find(unusable), std::string::npos) << warning;
    EXPECT_EQ(std::count(warning.begin(), warning.end(), '\n'), 1) << warning;
  }
}

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
