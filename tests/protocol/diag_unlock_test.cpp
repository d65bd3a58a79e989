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

TEST(DiagUnlockAgainstScriptedModule, AcceptsTheCodeOnTheFourthRequest) {
  const Bytes refused = Frame({0x41, 0x00});
  ScriptedModule module({{refused}, {refused}, {refused}, {Frame({0x41, 0x01})}});
  ASSERT_TRUE(module.ready());
  EXPECT_EQ(vek::DiagUnlockSpc(), 1);
  EXPECT_EQ(module.Requests().size(), 4u);
}

}  // namespace
