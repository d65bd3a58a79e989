// The simulated module dropping off the USB bus and coming back as another device,
// seen from the host's side of real pseudo-terminals and the port-map file.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "command_test_support.h"
#include "link/port_map_source.h"
#include "link/small_file.h"
#include "protocol/diag_commands.h"
#include "protocol/dmss_commands.h"
#include "protocol/mode_probe.h"
#include "protocol/reply_wait.h"
#include "protocol/stream_commands.h"
#include "sim/port_map_file.h"

namespace {

using vektest::Bytes;
using vektest::SimulatedModule;
using sim::SimPortRole;
using sim::SimState;

// True once the descriptor reports that its device hung up.
bool HangsUp(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 5000) == 1 && (p.revents & POLLHUP) != 0;
}

std::vector<vek::PortEntry> Listed() {
  return vek::PortMapSource(vek::ActivePortMapPath().value_or("")).ListPorts();
}

// 0: the boot loader returns under the firmware's number; else under this one.
class SwitchReenumeration : public testing::TestWithParam<uint32_t> {};

TEST_P(SwitchReenumeration, EveryPortHangsUpAndTheBootLoaderReturnsAloneOnANewPty) {
  sim::SimModuleOptions options;
  options.usb.switch_reenumerate = true;
  options.usb.switch_delay_ms = 5000;  // away long enough to be looked at on a busy machine
  options.usb.download_com = GetParam();
  SimulatedModule sim(SimState::kFirmware, options);
  ASSERT_TRUE(sim.ready());
  const uint32_t firmware_com = sim.module().ComNumber(SimPortRole::kDiagnostics);
  const uint32_t download_com = GetParam() != 0 ? GetParam() : firmware_com;
  const auto old_diag = sim.module().DevicePath(SimPortRole::kDiagnostics);
  const int at = open(sim.module().DevicePath(SimPortRole::kAt).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(at, 0);
  const uint64_t changes = sim.module().port_changes();

  ASSERT_TRUE(vek::DiagSwitchToDownload());
  // Both held ports hang up, and nothing is listed while the module is away.
  EXPECT_EQ(vek::AwaitFrame(vek::Deadline::AfterMs(5000)), vek::FrameWait::kHungUp);
  EXPECT_TRUE(HangsUp(at));
  close(at);
  EXPECT_TRUE(vektest::Eventually([] { return Listed().empty(); }));

  ASSERT_TRUE(sim.WaitForBoots(1));
  const auto listed = Listed();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].friendly_name, "Simulated Module Diagnostics (COM" + std::to_string(download_com) + ")");
  EXPECT_NE(listed[0].device_path, old_diag);
  EXPECT_EQ(sim.module().ComNumber(SimPortRole::kDiagnostics), download_com);
  EXPECT_GT(sim.module().port_changes(), changes);
  vek::CloseDiagPort();
  ASSERT_TRUE(vek::OpenDiagPort(download_com));
  EXPECT_EQ(vek::ProbeMode(), vek::TARGET_DOWNLOAD);
  EXPECT_TRUE(vek::DmssNop());
}

INSTANTIATE_TEST_SUITE_P(ComNumber, SwitchReenumeration, testing::Values(0u, 37u));

// The download device keeps its own number across go; the firmware's ports come
// back under theirs at the reset.
TEST(SimulatedModuleComNumbers, TheProgrammerKeepsTheDownloadNumberAndTheFirmwareReturnsUnderItsOwn) {
  sim::SimModuleOptions options;
  options.bootloader.programmer_start = sim::ProgrammerStart::kReenumeratePort;
  options.bootloader.reenumerate_delay_ms = 100;
  options.programmer.reboot_delay_ms = 100;
  options.usb.download_com = 37;
  SimulatedModule sim(SimState::kBootLoader, options);
  ASSERT_TRUE(sim.ready());
  vektest::PrepareJob(vek::PLATFORM_6280);
  vek::StoreImageSlot(vek::ImageSlot::kProgrammer, Bytes(2000, 0x5A));
  ASSERT_TRUE(vek::DmssWriteProgrammer());
  ASSERT_TRUE(vek::DmssGo());
  ASSERT_TRUE(sim.WaitForBoots(1));
  auto listed = Listed();
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0].friendly_name, "Simulated Module Diagnostics (COM37)");
  EXPECT_EQ(listed[1].friendly_name, "Simulated Module AT Port (COM21)");
  vek::CloseDiagPort();
  ASSERT_TRUE(vek::OpenDiagPort(37));
  ASSERT_EQ(vek::ProbeMode(), vek::TARGET_GOING);
  vek::PurgeDiagPort(vek::kPurgeReceive);

  ASSERT_TRUE(vek::StreamReset());
  ASSERT_TRUE(sim.WaitForBoots(2));
  listed = Listed();
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0].friendly_name, "Simulated Module Diagnostics (COM20)");
  EXPECT_EQ(listed[2].friendly_name, "Simulated Module NMEA (COM22)");
  vek::CloseDiagPort();
  ASSERT_TRUE(vek::OpenDiagPort(20));
  EXPECT_EQ(vek::ProbeMode(), vek::TARGET_DIAG);
}

// The USB path is a third field on every line when known; without it the file is as it always was.
TEST(SimulatedModulePortMap, CarriesTheUsbPathOnlyWhenGiven) {
  vektest::TempDir dir;
  for (const std::string usb_path : {"3-1.4.2", ""}) {
    sim::SimModuleOptions options;
    options.port_map_path = dir.File("ports");
    options.usb.path = usb_path;
    sim::SimModule module(options);
    ASSERT_TRUE(module.Start());
    const std::string text = vek::ReadSmallFile(options.port_map_path, 1 << 16, vek::TooLarge::kNothing);
    std::string expected = usb_path.empty()
                               ? "# ports of the simulated module: DEVICE_PATH<TAB>FRIENDLY NAME\n"
                               : "# ports of the simulated module: DEVICE_PATH<TAB>FRIENDLY NAME<TAB>USB_PATH\n";
    for (SimPortRole role : {SimPortRole::kDiagnostics, SimPortRole::kAt, SimPortRole::kNmea})
      expected += module.DevicePath(role) + "\t" + module.FriendlyName(role) + (usb_path.empty() ? "" : "\t" + usb_path) + "\n";
    EXPECT_EQ(text, expected);
    module.Stop();
  }

  for (const char* good : {"1-2", "3-1.4.2", "12-10"}) EXPECT_TRUE(sim::ValidUsbPath(good)) << good;
  for (const char* bad : {"", "1", "-2", "1-", "1-2.", "1.2", "1-2-3", "1-2..3", "1-2\t3", "a-1", "1-2/3"})
    EXPECT_FALSE(sim::ValidUsbPath(bad)) << bad;
  sim::SimModuleOptions options;
  options.port_map_path = dir.File("bad");
  options.usb.path = "1-2\n/dev/tty0\tFake Diagnostics (COM1)";
  sim::SimModule module(options);
  std::string error;
  EXPECT_FALSE(module.Start(&error));
  EXPECT_FALSE(error.empty());
  EXPECT_NE(access(options.port_map_path.c_str(), F_OK), 0);
}

}  // namespace
