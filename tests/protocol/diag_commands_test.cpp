#include "protocol/diag_commands.h"

#include <gtest/gtest.h>

#include <chrono>

#include "command_test_support.h"
#include "protocol/mode_probe.h"
#include "records/stop_wait.h"

namespace {

using vektest::Bytes;
using vektest::Frame;
using vektest::ScriptedModule;
using vektest::SimulatedModule;

std::string ReplyText(int from) { return reinterpret_cast<const char*>(vek::RxFrame.data + from); }

TEST(DiagCommandsAgainstFirmware, SendTheExactFramesAndAcceptTheFirmwaresAnswers) {
  SimulatedModule sim(sim::SimState::kFirmware);
  ASSERT_TRUE(sim.ready());
  ASSERT_TRUE(vek::DiagVersion());
  EXPECT_EQ(ReplyText(1), "SIM_FW_1.0.0");
  ASSERT_TRUE(vek::DiagSetInterfaceType());
  EXPECT_EQ(ReplyText(1), "USB");
  EXPECT_EQ(vek::DiagUnlockSpc(), 1);
  EXPECT_EQ(vek::DiagOffline(), 1);
  const Bytes unlock = {0x7E, 0x41, '0', '0', '0', '0', '0', '0'};
  const auto wire = sim.Wire();
  ASSERT_EQ(wire.size(), 4u);
  EXPECT_EQ(wire[0], (Bytes{0x00, 0x78, 0xF0, 0x7E}));
  EXPECT_EQ(wire[1], (Bytes{0x3D, 0x1E, 0x1A, 0x7E}));
  EXPECT_EQ(Bytes(wire[2].begin(), wire[2].begin() + 8), unlock);
  EXPECT_EQ(wire[2].size(), 11u);
  EXPECT_EQ(wire[3], (Bytes{0x7E, 0x29, 0x01, 0x00, 0x31, 0x40, 0x7E}));
  EXPECT_TRUE(sim.AllCrcGood());
}

TEST(DiagCommandsAgainstFirmware, SwitchToDownloadLeavesTheBootLoaderOnTheOpenPort) {
  SimulatedModule sim(sim::SimState::kFirmware);
  ASSERT_TRUE(sim.ready());
  EXPECT_TRUE(vek::DiagSwitchToDownload());
  ASSERT_TRUE(vektest::Eventually([&] { return sim.module().state() == sim::SimState::kBootLoader; }));
  EXPECT_EQ(vek::ProbeMode(), vek::TARGET_DOWNLOAD);
  EXPECT_EQ(sim.WireAt(0), (Bytes{0x3A, 0xA1, 0x6E, 0x7E}));
}

TEST(DiagCommandsAgainstFirmware, RefusalsAndWrongCodesFail) {
  sim::SimModuleOptions options;
  options.firmware.service_code = "123456";
  SimulatedModule sim(sim::SimState::kFirmware, options);
  ASSERT_TRUE(sim.ready());
  // A wrong code is refused four times, then the unlock gives up.
  EXPECT_EQ(vek::DiagUnlockSpc(), 0);
  EXPECT_EQ(sim.Wire().size(), 4u);
  // An error reply instead of 41 ends the unlock after one request.
  sim.module().ClearRequests();
  sim.module().faults().Add({sim::SimState::kFirmware, 0x41, sim::FaultKind::kRefuse, 0x15, 1});
  EXPECT_EQ(vek::DiagUnlockSpc(), 0);
  EXPECT_EQ(sim.Wire().size(), 1u);
  sim.module().faults().Add({sim::SimState::kFirmware, 0x00, sim::FaultKind::kRefuse, 0x15, 1});
  EXPECT_FALSE(vek::DiagVersion());
  sim.module().faults().Add({sim::SimState::kFirmware, 0x29, sim::FaultKind::kRefuse, 0x15, 1});
  EXPECT_EQ(vek::DiagOffline(), 0);
}

TEST(DiagCommandsAgainstFirmware, InterfaceTypeGivesUpAfterItsEmptyAttempts) {
  SimulatedModule sim(sim::SimState::kFirmware);
  ASSERT_TRUE(sim.ready());
  sim.module().faults().Add({sim::SimState::kFirmware, 0x3D, sim::FaultKind::kSilence, 0, 1});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(vek::DiagSetInterfaceType());
  // Its attempts are short: it gives up long before a reply wait would end.
  EXPECT_LT(std::chrono::steady_clock::now() - start, vek::ScaledMs(vek::kReplyLimitMs));
  // A reply that comes a moment late is still heard.
  sim.module().faults().Add({sim::SimState::kFirmware, 0x3D, sim::FaultKind::kLate, 20, 1});
  EXPECT_TRUE(vek::DiagSetInterfaceType());
}

TEST(DiagCommandsAgainstFirmware, OfflineReadsALateAnswerAtALaterPoll) {
  SimulatedModule sim(sim::SimState::kFirmware);
  ASSERT_TRUE(sim.ready());
  // 2500 ms late: on time, the looks after the first two 1000 ms pauses find
  // nothing (all scaled alike). A busy machine stretches pauses, so the answer
  // may be read one look earlier; either way the host only looks after pausing,
  // and it paused at least twice before the answer was there.
  sim.module().faults().Add({sim::SimState::kFirmware, 0x29, sim::FaultKind::kLate, 2500, 1});
  const vek::Clock::duration paused_before = vek::FixedWaitTotal();
  EXPECT_EQ(vek::DiagOffline(), 1);
  EXPECT_GE(vek::FixedWaitTotal() - paused_before, vek::ScaledMs(2000));
}

TEST(DiagUnlockAgainstScriptedModule, AcceptsTheCodeOnTheFourthRequest) {
  const Bytes refused = Frame({0x41, 0x00});
  ScriptedModule module({{refused}, {refused}, {refused}, {Frame({0x41, 0x01})}});
  ASSERT_TRUE(module.ready());
  EXPECT_EQ(vek::DiagUnlockSpc(), 1);
  EXPECT_EQ(module.Requests().size(), 4u);
}

}  // namespace
