// Which modules vek-factory starts a job for, told from the USB paths present
// at each look. The times are made up: a look "later" costs no waiting.
#include <gtest/gtest.h>

#include "factory/factory_sockets.h"

namespace {

using vekfactory::ModuleSockets;
using Clock = ModuleSockets::Clock;
using std::chrono::seconds;

const Clock::time_point kStart{seconds(1000)};
constexpr char kA[] = "1-1";
constexpr char kB[] = "1-2";

// Every module due now, in order; each is then busy.
std::vector<std::string> TakeAll(ModuleSockets& sockets) {
  std::vector<std::string> taken;
  while (auto due = sockets.TakeDue()) taken.push_back(*due);
  return taken;
}

TEST(FactorySockets, AModuleGetsOneJobWhileItStaysAndADueOneGoneEarlyIsForgotten) {
  ModuleSockets sockets(kStart);
  sockets.Update({kA, kB}, kStart);
  EXPECT_EQ(sockets.last_appearance(), kStart);
  EXPECT_EQ(TakeAll(sockets), (std::vector<std::string>{kA, kB}));
  sockets.Update({kA, kB}, kStart + seconds(1));  // busy: present at every look
  EXPECT_EQ(sockets.due_count(), 0u);
  sockets.JobEnded(kA, false, kStart + seconds(5));
  sockets.JobEnded(kB, false, kStart + seconds(5));
  for (int look = 6; look < 200; look += 50) sockets.Update({kA, kB}, kStart + seconds(look));
  EXPECT_EQ(sockets.due_count(), 0u) << "a module that stayed plugged in is due again";

  // Due, then gone before its job began: forgotten, so that it is new when it comes back.
  ModuleSockets early(kStart);
  early.Update({kA}, kStart);
  EXPECT_EQ(early.due_count(), 1u);
  early.Update({}, kStart + seconds(1));
  EXPECT_EQ(early.due_count(), 0u);
  EXPECT_FALSE(early.TakeDue());
  early.Update({kA}, kStart + seconds(2));
  EXPECT_EQ(early.last_appearance(), kStart + seconds(2));
  EXPECT_EQ(TakeAll(early), std::vector<std::string>{kA});

  // After the first SIGINT nothing due is started, and nothing due is left.
  ModuleSockets dropped(kStart);
  dropped.Update({kA, kB}, kStart);
  dropped.DropDue();
  EXPECT_FALSE(dropped.TakeDue());
}

TEST(FactorySockets, TheRestartAfterTheNormalResetIsNoNewModuleButAReplugLaterIs) {
  ModuleSockets sockets(kStart);
  sockets.Update({kA}, kStart);
  ASSERT_EQ(TakeAll(sockets), std::vector<std::string>{kA});
  const auto ended = kStart + seconds(10);
  sockets.JobEnded(kA, true, ended);
  EXPECT_TRUE(sockets.Restarting(kA));
  // Its ports go with the reset and come back well after kSettle: still its restart.
  sockets.Update({}, ended + seconds(1));
  sockets.Update({kA}, ended + ModuleSockets::kSettle + seconds(5));
  EXPECT_FALSE(sockets.Restarting(kA));
  EXPECT_EQ(sockets.due_count(), 0u);
  // Pulled and plugged in again later: a new module in that socket.
  sockets.Update({}, ended + seconds(20));
  sockets.Update({kA}, ended + seconds(21));
  EXPECT_EQ(TakeAll(sockets), std::vector<std::string>{kA});
}

TEST(FactorySockets, PortsBackWithinTheSettlingTimeAreTheSameModuleAndLaterANewOne) {
  ModuleSockets sockets(kStart);
  sockets.Update({kA, kB}, kStart);
  TakeAll(sockets);
  const auto ended = kStart + seconds(10);
  // A failed job may leave its module between two programs: its ports go and come back.
  sockets.JobEnded(kA, false, ended);
  sockets.Update({kB}, ended + seconds(1));
  sockets.Update({kA, kB}, ended + ModuleSockets::kSettle - seconds(1));
  EXPECT_EQ(sockets.due_count(), 0u);
  // Replugged after kSettle: due again, and only it.
  sockets.Update({kB}, ended + ModuleSockets::kSettle);
  sockets.Update({kA, kB}, ended + ModuleSockets::kSettle + seconds(1));
  EXPECT_EQ(sockets.last_appearance(), ended + ModuleSockets::kSettle + seconds(1));
  EXPECT_EQ(TakeAll(sockets), std::vector<std::string>{kA});

  // A restart that never came within kRestartLimit: the next appearance is a new module.
  ModuleSockets waiting(kStart);
  waiting.Update({kA}, kStart);
  TakeAll(waiting);
  waiting.JobEnded(kA, true, ended);
  waiting.Update({}, ended + seconds(1));
  waiting.Update({}, ended + ModuleSockets::kRestartLimit + seconds(1));
  EXPECT_FALSE(waiting.Restarting(kA));
  waiting.Update({kA}, ended + ModuleSockets::kRestartLimit + seconds(2));
  EXPECT_EQ(TakeAll(waiting), std::vector<std::string>{kA});
}

}  // namespace
