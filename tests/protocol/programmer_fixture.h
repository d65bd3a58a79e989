// The flash programmer of a simulated module on a real pseudo-terminal (its
// partition table differing from ours), for the streaming protocol's tests.
#pragma once

#include <gtest/gtest.h>

#include "command_test_support.h"

namespace vektest {

class StreamAgainstProgrammer : public ::testing::Test {
 protected:
  void SetUp() override {
    vektest::PrepareJob(vek::PLATFORM_6280);
    ASSERT_TRUE(sim_.ready());
  }
  sim::FaultPlan& faults() { return sim_.module().faults(); }

  static sim::SimModuleOptions Options() {
    sim::SimModuleOptions options;
    options.programmer.partition_mismatch = true;
    options.programmer.reboot_delay_ms = 200;
    return options;
  }
  SimulatedModule sim_{sim::SimState::kProgrammer, Options()};
};

}  // namespace vektest
