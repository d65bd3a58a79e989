#include "protocol/mode_probe.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <thread>

#include "sim/sim_module.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

vek::TargetMode Classify(const Bytes& answer) {
  return vek::ClassifyProbeAnswer(answer.data(), static_cast<int>(answer.size()));
}

TEST(ProbeAnswers, AreClassifiedByTheirFirstFiveBytes) {
  EXPECT_EQ(Classify({0x7E, 0x02, 0x6A, 0xD3, 0x7E}), vek::TARGET_DOWNLOAD);
  EXPECT_EQ(Classify({0x15, 0x06, 0x58, 0x81, 0x7E}), vek::TARGET_DIAG);
  EXPECT_EQ(Classify({0x7E, 0x0E, 0x09, 0x00, 0x00}), vek::TARGET_GOING);
  EXPECT_EQ(Classify({0x7E, 0x0E}), vek::TARGET_GOING);
  EXPECT_EQ(Classify({0x7E, 0x02, 0x6A}), vek::TARGET_UNSPECIFIED);
  EXPECT_EQ(Classify({0x15, 0x06, 0x58, 0x81}), vek::TARGET_UNSPECIFIED);
  EXPECT_EQ(Classify({0x7E}), vek::TARGET_UNSPECIFIED);
  EXPECT_EQ(Classify({}), vek::TARGET_UNSPECIFIED);
  EXPECT_EQ(Classify({0x13, 0x06, 0x58, 0x81, 0x7E}), vek::TARGET_UNSPECIFIED);
}

class ProbeOfScriptedPeer : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(vek::OpenDiagPort(7)); }
  // Answers as soon as the probe frame arrives.
  std::thread AnswerProbe(Bytes answer) {
    return std::thread([this, answer] {
      pollfd p{peer_.pty().master_fd(), POLLIN, 0};
      uint8_t probe[16];
      if (poll(&p, 1, 1000) > 0 && read(p.fd, probe, sizeof probe) > 0) peer_.Send(answer);
    });
  }
  vektest::PeerPort peer_;
};

TEST_F(ProbeOfScriptedPeer, WritesTheProbeFrameAsIs) {
  vek::ProbeMode();
  EXPECT_EQ(peer_.Received(), (Bytes{0x7E, 0x06, 0x4E, 0x95, 0x7E}));
}

TEST_F(ProbeOfScriptedPeer, APartialAcknowledgeIsUnspecified) {
  peer_.Send({0x7E, 0x02, 0x6A});
  EXPECT_EQ(vek::ProbeMode(), vek::TARGET_UNSPECIFIED);
}

TEST_F(ProbeOfScriptedPeer, AStreamingErrorFrameMeansTheProgrammerRuns) {
  std::thread answer = AnswerProbe({0x7E, 0x0E, 0x01, 0x02, 0x03, 0x04, 0x05});
  EXPECT_EQ(vek::ProbeMode(), vek::TARGET_GOING);
  answer.join();
}

// A stray reply waiting before the probe (the firmware's late answer to the
// switch request) is not taken for the answer, nor left in front of it.
TEST_F(ProbeOfScriptedPeer, BytesWaitingBeforeTheProbeAreNoAnswer) {
  peer_.Send({0x13, 0x3A, 0xA1, 0x7E});
  std::thread answer = AnswerProbe({0x7E, 0x02, 0x6A, 0xD3, 0x7E});
  EXPECT_EQ(vek::ProbeMode(), vek::TARGET_DOWNLOAD);
  answer.join();
}

TEST_F(ProbeOfScriptedPeer, SilenceIsUnspecified) { EXPECT_EQ(vek::ProbeMode(), vek::TARGET_UNSPECIFIED); }

class ProbeOfSimulatedModule : public ::testing::TestWithParam<std::pair<sim::SimState, vek::TargetMode>> {};

TEST_P(ProbeOfSimulatedModule, TellsWhichProgramAnswers) {
  vektest::TempDir dir;
  sim::SimModuleOptions options;
  options.state = GetParam().first;
  options.port_map_path = dir.File("ports");
  sim::SimModule module(options);
  ASSERT_TRUE(module.Start());
  vek::SetPortMapPath(options.port_map_path);
  ASSERT_TRUE(vek::OpenDiagPort(module.ComNumber(sim::SimPortRole::kDiagnostics)));
  EXPECT_EQ(vek::ProbeMode(), GetParam().second);
  // The module saw exactly one request: the probe, with a good CRC.
  const auto requests = module.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].wire, (Bytes{0x7E, 0x06, 0x4E, 0x95, 0x7E}));
  EXPECT_TRUE(requests[0].crc_ok);
  vek::CloseDiagPort();
  vek::SetPortMapPath("");
}

INSTANTIATE_TEST_SUITE_P(EachState, ProbeOfSimulatedModule,
                         ::testing::Values(std::make_pair(sim::SimState::kFirmware, vek::TARGET_DIAG),
                                           std::make_pair(sim::SimState::kBootLoader, vek::TARGET_DOWNLOAD),
                                           std::make_pair(sim::SimState::kProgrammer, vek::TARGET_GOING)));

}  // namespace
