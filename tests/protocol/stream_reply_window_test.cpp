#include "protocol/stream_commands.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stop_token>
#include <thread>

#include "command_test_support.h"
#include "programmer_fixture.h"
#include "protocol/mode_probe.h"
#include "protocol/reply_wait.h"
#include "records/stop_wait.h"

namespace {

using vektest::Bytes;
using vektest::Frame;
using vektest::ScriptedModule;
using vektest::StreamAgainstProgrammer;

const Bytes kHelloFrame = {0x7E, 0x01, 0x51, 0x43, 0x4F, 0x4D, 0x20, 0x66, 0x61, 0x73, 0x74, 0x20, 0x64, 0x6F,
                           0x77, 0x6E, 0x6C, 0x6F, 0x61, 0x64, 0x20, 0x70, 0x72, 0x6F, 0x74, 0x6F, 0x63, 0x6F,
                           0x6C, 0x20, 0x68, 0x6F, 0x73, 0x74, 0x03, 0x03, 0x09, 0xC6, 0x32, 0x7E};

TEST_F(StreamAgainstProgrammer, HelloSecurityModeCloseAndEfsEraseUseTheirExactFrames) {
  ASSERT_TRUE(vek::StreamHello());
  EXPECT_EQ(vek::HelloFlashName(), "SIM NAND 128MiB");
  EXPECT_TRUE(vek::StreamSecurityMode());                // platform 2: mode 1
  vek::TheJob().platform = vek::PLATFORM_6280_PBL;
  EXPECT_TRUE(vek::StreamSecurityMode());                // mode 0
  vek::TheJob().platform = vek::PLATFORM_NONE;
  EXPECT_TRUE(vek::StreamSecurityMode());                // mode 1
  EXPECT_TRUE(vek::StreamEraseEfs());
  EXPECT_TRUE(vek::StreamClose());
  EXPECT_EQ(sim_.Wire(), (std::vector<Bytes>{kHelloFrame,
                                             {0x7E, 0x17, 0x01, 0x57, 0xC6, 0x7E},
                                             {0x7E, 0x17, 0x00, 0xDE, 0xD7, 0x7E},
                                             {0x7E, 0x17, 0x01, 0x57, 0xC6, 0x7E},
                                             {0x7E, 0x1B, 0x09, 0xBF, 0xE3, 0x7E},
                                             {0x7E, 0x15, 0x54, 0xB7, 0x7E}}));
  std::lock_guard lock(sim_.device().mutex);
  EXPECT_EQ(sim_.device().efs_erasures, 1);
  EXPECT_EQ(sim_.device().security_mode, 1);
}

TEST_F(StreamAgainstProgrammer, ResetIsAcknowledgedAndTheModuleComesBackInItsFirmware) {
  const std::string old_path = sim_.module().DevicePath(sim::SimPortRole::kDiagnostics);
  EXPECT_TRUE(vek::StreamReset());
  EXPECT_EQ(sim_.WireAt(0), (Bytes{0x7E, 0x0B, 0xAB, 0x4E, 0x7E}));
  // The port the host holds has gone: a wait on it fails at once.
  EXPECT_TRUE(vektest::Eventually([] { return vek::PollFrame() == vek::FrameWait::kHungUp; }));
  ASSERT_TRUE(sim_.WaitForBoots(1));
  EXPECT_NE(sim_.module().DevicePath(sim::SimPortRole::kDiagnostics), old_path);
  vek::CloseDiagPort();
  ASSERT_TRUE(vek::OpenDiagPort(sim_.module().ComNumber(sim::SimPortRole::kDiagnostics)));
  EXPECT_EQ(vek::ProbeMode(), vek::TARGET_DIAG);
}

Bytes HelloReply(uint8_t length, const std::string& text) {
  Bytes packet(44 + text.size(), 0);
  packet[0] = 0x02;
  packet[43] = length;
  std::copy(text.begin(), text.end(), packet.begin() + 44);
  return Frame(packet);
}

TEST(StreamHelloAgainstScriptedProgrammer, JudgesTheReplyAndReadsTheFlashName) {
  ScriptedModule module({{Frame({0x0D, 0x00}), HelloReply(5, "NAND1xyz")},
                         {HelloReply(200, std::string(150, 'N'))},
                         {HelloReply(50, "abc")},
                         {Frame({0x03})}});
  ASSERT_TRUE(module.ready());
  ASSERT_TRUE(vek::StreamHello());
  EXPECT_EQ(vek::HelloFlashName(), "NAND1");
  ASSERT_TRUE(vek::StreamHello());
  EXPECT_EQ(vek::HelloFlashName(), std::string(99, 'N'));
  ASSERT_TRUE(vek::StreamHello());
  EXPECT_EQ(vek::HelloFlashName(), "abc");  // never past the frame's own bytes
  EXPECT_FALSE(vek::StreamHello());
  // No answer at all: taken as ready after its empty attempts, with no flash name.
  EXPECT_TRUE(vek::StreamHello());
  EXPECT_EQ(vek::HelloFlashName(), "");
  // Nothing answered the last request: the module may not have read it yet.
  EXPECT_TRUE(vektest::Eventually([&] { return module.Requests().size() >= 5; }));
  EXPECT_EQ(module.Requests().size(), 5u);
  EXPECT_EQ(module.Requests()[0], kHelloFrame);
}

}  // namespace
