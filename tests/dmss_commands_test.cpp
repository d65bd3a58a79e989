#include "protocol/dmss_commands.h"

#include <gtest/gtest.h>

#include <chrono>
#include <numeric>

#include "command_test_support.h"
#include "protocol/mode_probe.h"

namespace {

using vektest::Bytes;
using vektest::Frame;
using vektest::Pattern;
using vektest::ProgressReports;
using vektest::ScriptedModule;
using vektest::SimulatedModule;
using Progress = std::vector<std::pair<uint32_t, int32_t>>;

class DmssAgainstBootLoader : public ::testing::Test {
 protected:
  void SetUp() override {
    vektest::PrepareJob(vek::PLATFORM_6280);
    ASSERT_TRUE(sim_.ready());
  }
  SimulatedModule sim_{sim::SimState::kBootLoader, Options()};

  static sim::SimModuleOptions Options() {
    sim::SimModuleOptions options;
    options.bootloader.programmer_start = sim::ProgrammerStart::kSamePort;
    return options;
  }
};

TEST_F(DmssAgainstBootLoader, NopAndParameterRequestAreAcknowledged) {
  EXPECT_TRUE(vek::DmssNop());
  EXPECT_TRUE(vek::DmssParamRequest());
  EXPECT_EQ(sim_.Wire(), (std::vector<Bytes>{{0x7E, 0x06, 0x4E, 0x95, 0x7E}, {0x7E, 0x07, 0xC7, 0x84, 0x7E}}));
}

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

TEST_F(DmssAgainstBootLoader, SplitsTheProgrammerInto1017ByteBlocks) {
  for (size_t size : {2034u, 2035u}) {
    sim_.module().ClearRequests();
    vektest::ProgressReports().clear();
    const Bytes programmer = Pattern(size);
    vek::StoreImageSlot(vek::ImageSlot::kProgrammer, programmer);
    ASSERT_TRUE(vek::DmssWriteProgrammer());
    std::vector<std::pair<uint32_t, size_t>> blocks;  // address, length
    for (const auto& request : sim_.module().Requests()) {
      const auto& p = request.packet;
      ASSERT_GE(p.size(), 7u);
      blocks.emplace_back(uint32_t(p[1]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 8 | p[4], size_t(p[5]) << 8 | p[6]);
      EXPECT_EQ(p.size(), 7 + blocks.back().second);
    }
    std::vector<std::pair<uint32_t, size_t>> expected = {{0x00800000, 1017}, {0x008003F9, 1017}};
    Progress progress = {{0, 100}, {1017, int32_t(size)}, {2034, int32_t(size)}};
    if (size == 2035) {
      expected.emplace_back(0x008007F2, 1);
      progress.emplace_back(2035, 2035);
    }
    EXPECT_EQ(blocks, expected);
    EXPECT_EQ(ProgressReports(), progress);
    EXPECT_TRUE(sim_.AllCrcGood());
    std::lock_guard lock(sim_.device().mutex);
    EXPECT_EQ(sim_.device().ram, programmer);
  }
}

TEST_F(DmssAgainstBootLoader, AnEmptyProgrammerSendsNothing) {
  EXPECT_TRUE(vek::DmssWriteProgrammer());
  EXPECT_TRUE(sim_.Wire().empty());
  EXPECT_EQ(ProgressReports(), (Progress{{0, 100}}));
}

TEST_F(DmssAgainstBootLoader, ABlockWithoutAnswerFailsAtTheLimit) {
  vek::StoreImageSlot(vek::ImageSlot::kProgrammer, Pattern(2035));
  sim_.module().faults().Add({sim::SimState::kBootLoader, 0x0F, sim::FaultKind::kSilence, 0, 1});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(vek::DmssWriteProgrammer());
  EXPECT_GE(std::chrono::steady_clock::now() - start, vek::ScaledMs(vek::kReplyLimitMs) - std::chrono::milliseconds(5));
  EXPECT_EQ(sim_.Wire().size(), 1u);
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

TEST(DmssAgainstScriptedBootLoader, SkipsUnaskedFramesAndStopsAtARefusedBlock) {
  ScriptedModule module({{Frame({0x0D, 0x01}), Frame({0x02})},  // nop
                         {Frame({0x03, 0x00, 0x01})},          // nop again: refused
                         {Frame({0x02})},                      // first block
                         {Frame({0x03, 0x00, 0x01})}});        // second block refused
  ASSERT_TRUE(module.ready());
  vektest::PrepareJob(vek::PLATFORM_6270);
  EXPECT_TRUE(vek::DmssNop());
  EXPECT_FALSE(vek::DmssNop());
  vek::StoreImageSlot(vek::ImageSlot::kProgrammer, Pattern(2035));
  EXPECT_FALSE(vek::DmssWriteProgrammer());
  EXPECT_EQ(module.Requests().size(), 4u);  // the third block was never sent
  EXPECT_EQ(ProgressReports(), (Progress{{0, 100}, {1017, 2035}}));
  vek::FreeImageSet();
}

}  // namespace
