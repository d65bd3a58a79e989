#include <gtest/gtest.h>

#include <stop_token>
#include <thread>

#include "records/stop_wait.h"
#include "records/time_scale.h"

namespace {

using vek::Clock;

TEST(FixedWaitTotal, PausesOnEveryThreadAddUpToAtLeastTheirScaledLength) {
  const Clock::duration before = vek::FixedWaitTotal();
  ASSERT_TRUE(vek::PauseMs(100));
  std::jthread other([] { vek::SleepUntil(vek::Deadline::AfterMs(200)); });
  other.join();
  EXPECT_GE(vek::FixedWaitTotal() - before, vek::ScaledMs(100) + vek::ScaledMs(200));
}

TEST(FixedWaitTotal, AStoppedPauseCountsOnlyTheTimeItSlept) {
  const Clock::duration before = vek::FixedWaitTotal();
  std::stop_source stop;
  stop.request_stop();
  bool paused = true;
  std::jthread waiter([&] {
    vek::StopScope scope(stop.get_token());
    paused = vek::PauseMs(600000);
  });
  waiter.join();
  EXPECT_FALSE(paused);
  EXPECT_LT(vek::FixedWaitTotal() - before, vek::ScaledMs(600000) / 2);
}

TEST(FixedWaitTotal, ReplyWaitsAreNotFixedPauses) {
  const Clock::duration before = vek::FixedWaitTotal();
  EXPECT_EQ(vek::WaitForInput(-1, vek::Deadline::AfterMs(50)), vek::WaitResult::kTimeout);
  EXPECT_EQ(vek::FixedWaitTotal(), before);
}

}  // namespace
