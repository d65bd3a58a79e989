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
using sim::SimPortRole;
using sim::SimState;

TEST(SimulatedModuleWalk, FromFirmwareThroughTheDownloadBackToFirmware) {
  sim::SimModuleOptions options;
  options.programmer.partition_mismatch = true;
  options.programmer.flash_name = "NAND-X";
  options.bootloader.reenumerate_delay_ms = 100;
  options.programmer.reboot_delay_ms = 100;
  SimulatedModule sim(SimState::kFirmware, options);
  ASSERT_TRUE(sim.ready());
  vektest::PrepareJob(vek::PLATFORM_6270);
  const Bytes programmer(3000, 0x5A), dbl(1500, 0xD1), amss(4000, 0xA5), amsshd{1, 2, 3, 4};
  vek::StoreImageSlot(vek::ImageSlot::kProgrammer, programmer);
  vek::StoreImageSlot(vek::ImageSlot::kPartition, {9, 8, 7});
  vek::StoreImageSlot(vek::ImageSlot::kDbl, dbl);
  vek::StoreImageSlot(vek::ImageSlot::kAmss, amss);
  vek::StoreImageSlot(vek::ImageSlot::kAmsshd, amsshd);
  const uint32_t com = sim.module().ComNumber(SimPortRole::kDiagnostics);

  ASSERT_EQ(vek::ProbeMode(), vek::TARGET_DIAG);
  ASSERT_TRUE(vek::DiagSwitchToDownload());
  ASSERT_TRUE(vektest::Eventually([&] { return vek::ProbeMode() == vek::TARGET_DOWNLOAD; }));
  ASSERT_TRUE(vek::DmssNop());
  ASSERT_TRUE(vek::DmssParamRequest());
  ASSERT_TRUE(vek::DmssWriteProgrammer());
  ASSERT_TRUE(vek::DmssGo());
  ASSERT_TRUE(sim.WaitForBoots(1));
  vek::CloseDiagPort();
  ASSERT_TRUE(vek::OpenDiagPort(com));
  ASSERT_EQ(vek::ProbeMode(), vek::TARGET_GOING);
  vek::PurgeDiagPort(vek::kPurgeReceive);  // the probe's answer is longer than what the probe reads

  ASSERT_TRUE(vek::StreamHello());
  EXPECT_EQ(vek::HelloFlashName(), "NAND-X");
  ASSERT_TRUE(vek::StreamSecurityMode());
  ASSERT_EQ(vek::StreamPartitionTable(0), vek::kPartitionMismatch);
  ASSERT_EQ(vek::StreamPartitionTable(1), vek::kPartitionAccepted);
  for (vek::ImageType type : {vek::IMAGE_DBL, vek::IMAGE_AMSS}) {
    ASSERT_TRUE(vek::StreamOpenImage(type));
    ASSERT_TRUE(vek::StreamWriteImage(type));
    ASSERT_TRUE(vek::StreamClose());
  }
  ASSERT_TRUE(vek::StreamEraseEfs());
  ASSERT_TRUE(vek::StreamClose());
  ASSERT_TRUE(vek::StreamReset());
  ASSERT_TRUE(sim.WaitForBoots(2));
  vek::CloseDiagPort();
  ASSERT_TRUE(vek::OpenDiagPort(com));
  EXPECT_EQ(vek::ProbeMode(), vek::TARGET_DIAG);
  EXPECT_TRUE(sim.AllCrcGood());

  std::lock_guard lock(sim.device().mutex);
  auto& device = sim.device();
  EXPECT_EQ(device.ram, programmer);
  EXPECT_EQ(device.partition_table, (Bytes{9, 8, 7}));
  EXPECT_EQ(device.flash.size(), 2u);
  EXPECT_EQ(device.flash[vek::IMAGE_DBL].data, dbl);
  EXPECT_TRUE(device.flash[vek::IMAGE_DBL].header.empty());
  EXPECT_EQ(device.flash[vek::IMAGE_AMSS].data, amss);
  EXPECT_EQ(device.flash[vek::IMAGE_AMSS].header, amsshd);
  EXPECT_EQ(device.efs_erasures, 1);
  EXPECT_EQ(device.security_mode, 1);
}

TEST(SimulatedModuleReboot, AllPortsVanishAndReturnUnderTheirComNumbers) {
  sim::SimModuleOptions options;
  // The ports stay away long enough to be looked at on a busy machine.
  options.firmware.reboot_delay_ms = 2000;
  SimulatedModule sim(SimState::kFirmware, options);
  ASSERT_TRUE(sim.ready());
  const std::string map = vek::ActivePortMapPath().value_or("");
  const auto old_diag = sim.module().DevicePath(SimPortRole::kDiagnostics);
  const auto old_at = sim.module().DevicePath(SimPortRole::kAt);
  ASSERT_TRUE(vek::DiagReset());
  EXPECT_EQ(sim.WireAt(0), (Bytes{0x7E, 0x29, 0x02, 0x00, 0x59, 0x6A, 0x7E}));
  // While the module restarts, no port is listed and the host's port has hung up.
  ASSERT_TRUE(vektest::Eventually([&] { return vek::PortMapSource(map).ListPorts().empty(); }, 10000));
  EXPECT_EQ(vek::AwaitFrame(vek::Deadline::AfterMs(1000)), vek::FrameWait::kHungUp);
  ASSERT_TRUE(sim.WaitForBoots(1));
  const auto listed = vek::PortMapSource(map).ListPorts();
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0].friendly_name, sim.module().FriendlyName(SimPortRole::kDiagnostics));
  EXPECT_NE(sim.module().DevicePath(SimPortRole::kDiagnostics), old_diag);
  EXPECT_NE(sim.module().DevicePath(SimPortRole::kAt), old_at);
  vek::CloseDiagPort();
  ASSERT_TRUE(vek::OpenDiagPort(sim.module().ComNumber(SimPortRole::kDiagnostics)));
  EXPECT_EQ(vek::ProbeMode(), vek::TARGET_DIAG);
}

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
