#include "protocol/dmss_commands.h"

#include <gtest/gtest.h>

#include <chrono>
#include <numeric>

#include "boot_loader_fixture.h"
#include "command_test_support.h"
#include "protocol/mode_probe.h"

namespace {

using vektest::Bytes;
using vektest::Pattern;
using vektest::ProgressReports;
using vektest::SimulatedModule;
using Progress = std::vector<std::pair<uint32_t, int32_t>>;
using vektest::DmssAgainstBootLoader;

TEST_F(DmssAgainstBootLoader, AThreeByteProgrammerGoesOutAsOneFrameAndStarts) {
  vek::StoreImageSlot(vek::ImageSlot::kProgrammer, {0xAA, 0xBB, 0xCC});
  ASSERT_TRUE(vek::DmssWriteProgrammer());
  EXPECT_TRUE(vek::DmssGo());
  ASSERT_TRUE(vektest::Eventually([&] { return sim_.module().state() == sim::SimState::kProgrammer; }));
  EXPECT_EQ(vek::ProbeMode(), vek::TARGET_GOING);
  const auto wire = sim_.Wire();
  ASSERT_GE(wire.size(), 2u);
  EXPECT_EQ(wire[0], (Bytes{0x7E, 0x0F, 0x00, 0x80, 0x00, 0x00, 0x00, 0x03, 0xAA, 0xBB, 0xCC, 0x80, 0x8E, 0x7E}));
  EXPECT_EQ(wire[1], (Bytes{0x7E, 0x05, 0x00, 0x80, 0x00, 0x00, 0xCF, 0xE5, 0x7E}));
  EXPECT_EQ(ProgressReports(), (Progress{{0, 100}, {3, 3}}));
  std::lock_guard lock(sim_.device().mutex);
  EXPECT_EQ(sim_.device().ram_base, 0x00800000u);
  EXPECT_EQ(sim_.device().ram, (Bytes{0xAA, 0xBB, 0xCC}));
  EXPECT_EQ(sim_.device().go_address, 0x00800000u);
}

TEST(DmssGoWithReenumeration, TheProgrammerAnswersOnTheReturnedPort) {
  sim::SimModuleOptions options;
  options.bootloader.reenumerate_delay_ms = 200;
  SimulatedModule sim(sim::SimState::kBootLoader, options);
  ASSERT_TRUE(sim.ready());
  vektest::PrepareJob(vek::PLATFORM_6280);
  vek::StoreImageSlot(vek::ImageSlot::kProgrammer, Pattern(100));
  ASSERT_TRUE(vek::DmssWriteProgrammer());
  const std::string old_path = sim.module().DevicePath(sim::SimPortRole::kDiagnostics);
  const std::string old_at = sim.module().DevicePath(sim::SimPortRole::kAt);
  EXPECT_TRUE(vek::DmssGo());
  ASSERT_TRUE(sim.WaitForBoots(1));
  EXPECT_NE(sim.module().DevicePath(sim::SimPortRole::kDiagnostics), old_path);
  EXPECT_EQ(sim.module().DevicePath(sim::SimPortRole::kAt), old_at);  // only the diagnostic port went
  vek::CloseDiagPort();
  ASSERT_TRUE(vek::OpenDiagPort(sim.module().ComNumber(sim::SimPortRole::kDiagnostics)));
  EXPECT_EQ(vek::ProbeMode(), vek::TARGET_GOING);
}

}  // namespace
