#include "protocol/dmss_commands.h"

#include <gtest/gtest.h>

#include <chrono>
#include <numeric>

#include "boot_loader_fixture.h"
#include "command_test_support.h"
#include "protocol/mode_probe.h"

namespace {

using vektest::Bytes;
using vektest::Frame;
using vektest::Pattern;
using vektest::ProgressReports;
using vektest::ScriptedModule;
using Progress = std::vector<std::pair<uint32_t, int32_t>>;
using vektest::DmssAgainstBootLoader;

TEST_F(DmssAgainstBootLoader, NopAndParameterRequestAreAcknowledged) {
  EXPECT_TRUE(vek::DmssNop());
  EXPECT_TRUE(vek::DmssParamRequest());
  EXPECT_EQ(sim_.Wire(), (std::vector<Bytes>{{0x7E, 0x06, 0x4E, 0x95, 0x7E}, {0x7E, 0x07, 0xC7, 0x84, 0x7E}}));
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
