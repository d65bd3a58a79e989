#include "app/single_instance.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "device/session.h"
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

// Who excludes whom: the desktop program and vek-cli on every module take the
// machine-wide lock exclusively; vek-cli on one module takes it shared and its
// module's lock exclusively. (Two opens in one process conflict as two
// processes would.)
TEST_F(SingleInstanceTest, RunsOnDifferentModulesGoSideBySideAndExcludeEveryOtherKind) {
  using Refusal = vek::InstanceLock::Refusal;
  EXPECT_EQ(vek::ModuleLockPath("1-2.3"), dir_.path() + "/vek-module-1-2.3.lock");
  {
    const vek::InstanceLock whole_machine;
    ASSERT_TRUE(whole_machine.held());
    EXPECT_EQ(vek::InstanceLock().refusal(), Refusal::kVekRunning);
    EXPECT_EQ(vek::InstanceLock("1-2.3").refusal(), Refusal::kVekRunning);
  }
  {
    const vek::InstanceLock first("1-2.3");
    ASSERT_TRUE(first.held());
    const vek::InstanceLock neighbour("1-2.4");
    EXPECT_TRUE(neighbour.held());
    const vek::InstanceLock same("1-2.3");
    EXPECT_EQ(same.refusal(), Refusal::kModuleTaken);
    EXPECT_EQ(same.refused_path(), dir_.path() + "/vek-module-1-2.3.lock");
    EXPECT_EQ(vek::InstanceLock().refusal(), Refusal::kVekRunning);
  }
  // The refused ones held nothing: with the others gone the whole machine is free.
  EXPECT_TRUE(vek::InstanceLock().held());

  // A path that is no USB port path never becomes a file name.
  const vek::InstanceLock hostile("1-2/../../x");
  EXPECT_EQ(hostile.refusal(), Refusal::kUnavailable);
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.path()))
    files.push_back(entry.path().filename());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"vek-module-1-2.3.lock", "vek-module-1-2.4.lock", "vek.lock"}));
  EXPECT_TRUE(vek::InstanceLock().held()) << "a refused module run must hold nothing";
}

}  // namespace
