// The words said when a port cannot be opened, for real pseudo-terminals that
// deny access, are held exclusively or locked, and for ports that are gone.
// The tests run as root, which ignores modes and exclusivity: every refused
// open is made by a forked child that has dropped to the unprivileged user.
#include "link/open_failure.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <string>

#include "link/serial_port.h"
#include "records/job_records.h"
#include "records/reporting.h"
#include "test_support.h"

namespace {

constexpr uid_t kNobody = 65534;

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

int Count(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

std::string GroupNameOf(gid_t gid) {
  const group* entry = getgrgid(gid);
  return entry ? entry->gr_name : std::to_string(gid);
}

std::string UserNameOf(uid_t uid) {
  const passwd* entry = getpwuid(uid);
  return entry ? entry->pw_name : "uid " + std::to_string(uid);
}

void DropPrivileges() {
  if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(90);
}

struct ChildRun {
  bool opened = false;
  std::string error_output;  // the child's standard error
  std::string log;           // its log entries, one a line
};

// Runs `open` in a forked child (unprivileged when `drop`), with its standard
// error and its log sink each going into a pipe.
ChildRun RunChild(bool drop, const std::function<bool()>& open) {
  int err[2], log[2];
  if (pipe(err) != 0 || pipe(log) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(err[1], STDERR_FILENO);
    const int log_fd = log[1];
    vek::InstallStandardCallbacks(vek::TheJob());
    vek::SetLogSink([log_fd](std::string_view entry) {
      const std::string line = std::string(entry) + "\n";
      ssize_t n = write(log_fd, line.data(), line.size());
      (void)n;
    });
    // As the session does: the words also go into the job's log.
    vek::SetOpenFailureLog([](const std::string& entry) { vek::TheJob().write_log("%s", entry.c_str()); });
    vek::ForgetOpenFailures();
    if (drop) DropPrivileges();
    _exit(open() ? 0 : 1);
  }
  close(err[1]);
  close(log[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  ChildRun run;
  run.opened = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) < 2) << "child ended with " << status;
  run.error_output = ReadAll(err[0]);
  run.log = ReadAll(log[0]);
  close(err[0]);
  close(log[0]);
  return run;
}

// A child that holds the port in some way until the test ends, under a name of its own.
class PortHolder {
 public:
  PortHolder(const std::string& device, const char* name, const std::function<bool(int fd)>& hold, bool drop) {
    int ready[2];
    if (pipe(ready) != 0 || pipe(release_) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(release_[1]);
      const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      if (fd < 0 || !hold(fd)) _exit(1);
      if (drop) {
        DropPrivileges();
        prctl(PR_SET_DUMPABLE, 1);  // so that its own user may look at its descriptors
      }
      prctl(PR_SET_NAME, name);
      ssize_t n = write(ready[1], "r", 1);
      char byte;
      n = read(release_[0], &byte, 1);  // until the test closes its end
      (void)n;
      _exit(0);
    }
    close(ready[1]);
    close(release_[0]);
    char byte = 0;
    ready_ = read(ready[0], &byte, 1) == 1;
    close(ready[0]);
  }
  ~PortHolder() {
    close(release_[1]);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  bool ready() const { return ready_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int release_[2] = {-1, -1};
  bool ready_ = false;
};

// A pty published as COM7 in a port map the unprivileged child may read.
class RefusedPort : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(getuid(), 0u) << "these tests drop privileges in a child and need root";
    const std::string dir = peer_.map_path().substr(0, peer_.map_path().rfind('/'));
    chmod(dir.c_str(), 0755);
    chmod(peer_.map_path().c_str(), 0644);
    device_ = peer_.pty().device_path();
  }
  void SetNode(gid_t group, mode_t mode) {
    ASSERT_EQ(chown(device_.c_str(), 0, group), 0);
    ASSERT_EQ(chmod(device_.c_str(), mode), 0);
  }
  static bool OpenDiag() { return vek::OpenDiagPort(7); }
  static bool OpenExclusive() {
    const vek::PortHandle handle = vek::OpenSerialDevice(7, vek::PortShare::kExclusive);
    vek::CloseSerialDevice(handle, vek::PortShare::kExclusive);
    return handle != vek::kInvalidPort;
  }

  vektest::PeerPort peer_{7};
  std::string device_;
};

TEST_F(RefusedPort, AGroupPortNamesTheGroupTheUserIsMissingAndTheFix) {
  SetNode(20, 0660);
  const ChildRun run = RunChild(true, OpenDiag);
  EXPECT_FALSE(run.opened);
  const std::string group = GroupNameOf(20), user = UserNameOf(kNobody);
  const std::string reason = "cannot open " + device_ + ": permission denied: the port belongs to group " + group +
                             " (mode 0660) and user " + user + " is not in it";
  const std::string fix = "add the user with `sudo usermod -aG " + group + " " + user +
                          "` and log in again, or install VEK's udev rules (70-vek.rules) which give the logged-in "
                          "user access";
  EXPECT_NE(run.error_output.find(reason + "; " + fix + "\n"), std::string::npos) << run.error_output;
  EXPECT_EQ(run.log, reason + "\n" + fix + "\n");
}

TEST_F(RefusedPort, AnOwnerOnlyPortPointsToTheRulesNotTheGroup) {
  SetNode(20, 0600);
  const ChildRun run = RunChild(true, OpenExclusive);
  EXPECT_FALSE(run.opened);
  EXPECT_NE(run.error_output.find("permission denied: the port belongs to root:" + GroupNameOf(20) +
                                  " (mode 0600), which lets only root open it; install VEK's udev rules"),
            std::string::npos)
      << run.error_output;
  EXPECT_EQ(run.error_output.find("usermod"), std::string::npos);
}

TEST_F(RefusedPort, AnExclusivePortNamesTheProgramHoldingIt) {
  SetNode(20, 0666);
  PortHolder holder(device_, "vek-excl-holder", [](int fd) { return ioctl(fd, TIOCEXCL) == 0; }, true);
  ASSERT_TRUE(holder.ready());
  const ChildRun run = RunChild(true, OpenDiag);
  EXPECT_FALSE(run.opened);
  const std::string reason = "port " + device_ + " is busy: held by vek-excl-holder (pid " + std::to_string(holder.pid()) + ")";
  EXPECT_NE(run.error_output.find(reason), std::string::npos) << run.error_output;
  EXPECT_EQ(run.log.substr(0, run.log.find('\n')), reason);
}

TEST_F(RefusedPort, AHolderThatCannotBeSeenIsAnotherProgram) {
  // This test (root) holds the port; the unprivileged child may not look at root's descriptors.
  SetNode(20, 0666);
  const int fd = open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ioctl(fd, TIOCEXCL), 0);
  const ChildRun run = RunChild(true, OpenDiag);
  ioctl(fd, TIOCNXCL);
  close(fd);
  EXPECT_FALSE(run.opened);
  EXPECT_EQ(run.log.substr(0, run.log.find('\n')), "port " + device_ + " is busy: held by another program");
}

TEST_F(RefusedPort, ALockedPortNamesTheLockHolderFromTheLockTable) {
  // The holder stays root: its descriptors are hidden, but the lock table is not.
  SetNode(20, 0666);
  PortHolder holder(device_, "vek-lock-holder", [](int fd) { return flock(fd, LOCK_EX | LOCK_NB) == 0; }, false);
  ASSERT_TRUE(holder.ready());
  const ChildRun run = RunChild(true, OpenExclusive);
  EXPECT_FALSE(run.opened);
  const std::string reason = "port " + device_ + " is busy: held by vek-lock-holder (pid " + std::to_string(holder.pid()) + ")";
  EXPECT_NE(run.error_output.find(reason + "; close it there, then try again\n"), std::string::npos) << run.error_output;
  EXPECT_EQ(run.log, reason + "\nclose it there, then try again\n");
}

TEST_F(RefusedPort, AnOpenPortSaysNothing) {
  SetNode(20, 0666);
  const ChildRun run = RunChild(true, OpenExclusive);
  EXPECT_TRUE(run.opened);
  EXPECT_EQ(run.error_output, "");
  EXPECT_EQ(run.log, "");
}

TEST(GonePort, IsSaidOncePerJobHoweverOftenTheOpenIsRetried) {
  vektest::TempDir dir;
  const std::string gone = dir.File("ttyUSB0");
  sim::WritePortMapFile(dir.File("ports"), {{"Gone Diagnostics (COM9)", gone}});
  vek::SetPortMapPath(dir.File("ports"));
  const ChildRun run = RunChild(false, [] {
    for (int i = 0; i < 5; ++i) vek::OpenDiagPort(9);
    vek::ForgetOpenFailures();  // a new job
    return vek::OpenDiagPort(9);
  });
  vek::SetPortMapPath("");
  const std::string reason = "cannot open " + gone + ": the port is gone (the module was unplugged or is re-enumerating)";
  EXPECT_EQ(Count(run.error_output, reason + "\n"), 2) << run.error_output;
  EXPECT_EQ(run.log, reason + "\n" + reason + "\n");
}

TEST(OpenFailureWords, PortNamesAreShownInPrintableCharactersOnly) {
  const vek::OpenFailureWords words = vek::ExplainOpenFailure("/dev/tty\x1b[2J\nX", ENOENT, {});
  EXPECT_EQ(words.reason.find('\x1b'), std::string::npos);
  EXPECT_EQ(words.reason.find('\n'), std::string::npos);
  EXPECT_EQ(words.reason.rfind("cannot open /dev/tty?[2J?X: ", 0), 0u) << words.reason;
  EXPECT_LT(vek::ExplainOpenFailure(std::string(5000, 'a'), ENODEV, {}).reason.size(), 250u);
}

TEST(OpenFailureWords, AUserAddedAfterLoginIsToldToLogInAgain) {
  vek::OpenFailureFacts facts;
  facts.access = {true, 0660, "root", "dialout", "alice", false, true, false};
  EXPECT_EQ(vek::ExplainOpenFailure("/dev/ttyUSB0", EACCES, facts).Line(),
            "cannot open /dev/ttyUSB0: permission denied: the port belongs to group dialout (mode 0660) and user "
            "alice was added to it after this session began; log out and in again (or start VEK under `newgrp "
            "dialout`)");
}

TEST(OpenFailureWords, APortUdevGivesToTheLocalSessionNeedsNoRules) {
  vek::OpenFailureFacts facts;
  facts.access = {true, 0660, "root", "dialout", "alice", false, false, true};
  const std::string line = vek::ExplainOpenFailure("/dev/ttyUSB0", EACCES, facts).Line();
  EXPECT_NE(line.find("`sudo usermod -aG dialout alice` and log in again, or run VEK from the active local session"),
            std::string::npos)
      << line;
  EXPECT_EQ(line.find("70-vek.rules"), std::string::npos);
}

TEST(OpenFailureWords, AModemManagerHolderGetsItsOneLineFix) {
  vek::OpenFailureFacts facts;
  facts.busy.holders = {{812, "ModemManager"}};
  EXPECT_EQ(vek::ExplainOpenFailure("/dev/ttyUSB2", EBUSY, facts).Line(),
            "port /dev/ttyUSB2 is busy: held by ModemManager (pid 812); install VEK's udev rules (70-vek.rules) or "
            "run `sudo systemctl stop ModemManager`");
  facts.busy = {{}, vek::ProcessInfo{812, "ModemManager"}};
  EXPECT_EQ(vek::ExplainOpenFailure("/dev/ttyUSB2", EBUSY, facts).Line(),
            "port /dev/ttyUSB2 is busy: held by another program; ModemManager (pid 812) is running and may be "
            "probing it: install VEK's udev rules (70-vek.rules) or run `sudo systemctl stop ModemManager`");
}

}  // namespace
