// The boot loader of a simulated module on a real pseudo-terminal, the
// programmer started on the same port, for the download protocol's tests.
#pragma once

#include <gtest/gtest.h>

#include "command_test_support.h"

namespace vektest {

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

}  // namespace vektest
