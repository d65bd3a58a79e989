// The simulated module driven through its three programs by the host's commands.
#include <gtest/gtest.h>

#include "command_test_support.h"
#include "link/port_map_source.h"
#include "protocol/diag_commands.h"
#include "protocol/dmss_commands.h"
#include "protocol/mode_probe.h"
#include "protocol/reply_wait.h"
#include "protocol/stream_commands.h"

namespace {

using vektest::Bytes;
using vektest::SimulatedModule;
using sim::SimState;

TEST(SimulatedModuleChecks, ABadCrcIsRecordedAndRefused) {
  SimulatedModule sim(SimState::kFirmware);
  ASSERT_TRUE(sim.ready());
  const uint8_t bad[] = {0x7E, 0x00, 0x12, 0x34, 0x7E};
  vek::WritePort(vek::DiagPort.load(), bad, sizeof bad);
  ASSERT_EQ(vek::AwaitFrame(vek::Deadline::AfterMs(1000)), vek::FrameWait::kFrame);
  EXPECT_EQ(vek::ReplyCode(), 0x13);
  const auto requests = sim.module().Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_FALSE(requests[0].crc_ok);
  EXPECT_EQ(requests[0].packet, (Bytes{0x00}));
}

TEST(FaultRuleText, ParsesEveryKindAndRejectsNonsense) {
  auto rule = sim::ParseFaultRule("programmer:07:refuse:0E:2");
  ASSERT_TRUE(rule);
  EXPECT_EQ(rule->state, SimState::kProgrammer);
  EXPECT_EQ(rule->request_code, 0x07);
  EXPECT_EQ(rule->kind, sim::FaultKind::kRefuse);
  EXPECT_EQ(rule->value, 0x0Eu);
  EXPECT_EQ(rule->times, 2);
  rule = sim::ParseFaultRule("firmware:0x3D:late:2500");
  ASSERT_TRUE(rule);
  EXPECT_EQ(rule->kind, sim::FaultKind::kLate);
  EXPECT_EQ(rule->value, 2500u);
  EXPECT_EQ(rule->times, -1);
  EXPECT_TRUE(sim::ParseFaultRule("bootloader:0f:silence"));
  EXPECT_TRUE(sim::ParseFaultRule("bootloader:0f:split:10:1"));
  EXPECT_TRUE(sim::ParseFaultRule("bootloader:0f:corrupt-crc"));
  rule = sim::ParseFaultRule("firmware:26:twice:0:1:4889");
  ASSERT_TRUE(rule);
  EXPECT_EQ(rule->kind, sim::FaultKind::kTwice);
  EXPECT_EQ(rule->skip, 4889);
  rule = sim::ParseFaultRule("at:at+korvanati:cut:0:1");
  ASSERT_TRUE(rule);
  EXPECT_EQ(rule->at_command, "AT+KORVANATI");
  EXPECT_EQ(rule->kind, sim::FaultKind::kCut);
  for (const char* bad : {"", "firmware", "firmware:00", "nowhere:00:silence", "firmware:100:silence",
                          "firmware:zz:silence", "firmware:00:explode", "firmware:00:refuse", "firmware:00:late:-1",
                          "firmware:00:late:5:0", "firmware:00:late:5:1:9:9", "firmware:00:stale:0:1:x", "at::cut", "firmware:00:late:99999999999"})
    EXPECT_FALSE(sim::ParseFaultRule(bad)) << bad;
}

}  // namespace
