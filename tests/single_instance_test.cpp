#include "app/single_instance.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "test_support.h"

namespace {

// Every test gets a private runtime folder, as a desktop session would.
class SingleInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("XDG_RUNTIME_DIR");
    if (old != nullptr) saved_ = old;
    setenv("XDG_RUNTIME_DIR", dir_.path().c_str(), 1);
  }
  void TearDown() override {
    if (saved_) {
      setenv("XDG_RUNTIME_DIR", saved_->c_str(), 1);
    } else {
      unsetenv("XDG_RUNTIME_DIR");
    }
  }

  // A child process that takes the lock, reports whether it got it ('1' or
  // '0') and then holds it until it is killed.
  pid_t StartHolder(char& report) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
      // A test that fails before its Kill must not leave the holder behind for ever.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      close(fds[0]);
      vek::SingleInstance instance;
      const char got = instance.acquired() ? '1' : '0';
      (void)!write(fds[1], &got, 1);
      for (;;) pause();
    }
    close(fds[1]);
    report = '?';
    (void)!read(fds[0], &report, 1);
    close(fds[0]);
    return pid;
  }

  static void Kill(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }

  vektest::TempDir dir_;
  std::optional<std::string> saved_;
};

TEST_F(SingleInstanceTest, TheLockLivesInTheRuntimeFolderOrFallsBackToAPerUserFileInTmp) {
  EXPECT_EQ(vek::InstanceLockPath(), dir_.path() + "/vek.lock");
  const std::string fallback = "/tmp/vek-" + std::to_string(getuid()) + ".lock";
  setenv("XDG_RUNTIME_DIR", "", 1);
  EXPECT_EQ(vek::InstanceLockPath(), fallback);
  setenv("XDG_RUNTIME_DIR", "relative/dir", 1);
  EXPECT_EQ(vek::InstanceLockPath(), fallback);
  unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(vek::InstanceLockPath(), fallback);
}

TEST_F(SingleInstanceTest, ASecondStartIsRefusedWhileTheFirstRunsAndAllowedAfterItDies) {
  char report = 0;
  const pid_t holder = StartHolder(report);
  ASSERT_GT(holder, 0);
  ASSERT_EQ(report, '1');

  {
    vek::SingleInstance second;
    EXPECT_FALSE(second.acquired());
    EXPECT_EQ(second.state(), vek::SingleInstance::State::kRunningElsewhere);
  }

  Kill(holder);  // no clean-up runs: the system drops the lock
  vek::SingleInstance after;
  EXPECT_TRUE(after.acquired());

  // And now this process is the one: another process is refused.
  const pid_t refused = StartHolder(report);
  ASSERT_GT(refused, 0);
  EXPECT_EQ(report, '0');
  Kill(refused);
}

TEST_F(SingleInstanceTest, TheLockIsReleasedWhenTheGuardEnds) {
  {
    vek::SingleInstance first;
    ASSERT_TRUE(first.acquired());
    vek::SingleInstance second;  // another open of the same file in this process
    EXPECT_FALSE(second.acquired());
  }
  vek::SingleInstance again;
  EXPECT_TRUE(again.acquired());
}

TEST_F(SingleInstanceTest, ALockPathThatIsNotOurRegularFileIsUnavailableNotRunning) {
  const std::string link = dir_.File("link.lock");
  ASSERT_EQ(symlink(dir_.File("target").c_str(), link.c_str()), 0);
  vek::SingleInstance through_link(link);
  EXPECT_FALSE(through_link.acquired());
  EXPECT_EQ(through_link.state(), vek::SingleInstance::State::kUnavailable);

  vek::SingleInstance in_missing_folder(dir_.File("no/such/folder/vek.lock"));
  EXPECT_EQ(in_missing_folder.state(), vek::SingleInstance::State::kUnavailable);
}

}  // namespace
