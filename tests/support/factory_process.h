// vek-factory as a child process the test can watch while it runs: its
// standard output and error go to one file that the test waits on (inotify,
// bounded), it can be sent signals, and its end is awaited on a pidfd.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli_process.h"
#include "test_paths.h"

namespace vektest {

using Clock = std::chrono::steady_clock;

inline std::string FactoryProgramPath() { return std::string(vektest::BinaryDir()) + "/cli/vek-factory"; }

inline std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Waits until `ready()` holds, looking again whenever something in `folder` is
// written, created, moved in or deleted; false when `bound` passed first.
inline bool AwaitInFolder(const std::string& folder, const std::function<bool()>& ready, Clock::duration bound) {
  const int changes = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  inotify_add_watch(changes, folder.c_str(), IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO | IN_DELETE);
  const auto deadline = Clock::now() + bound;
  bool done = false;
  while (!(done = ready()) && Clock::now() < deadline) {
    pollfd fd{changes, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (poll(&fd, 1, static_cast<int>(left.count()) + 1) > 0) {
      char buffer[4096];
      while (read(changes, buffer, sizeof buffer) > 0) {
      }
    }
  }
  close(changes);
  return done;
}

class FactoryProcess {
 public:
  // Starts vek-factory with `args` in `working_dir`; its output goes to `output`.
  // `program`: another that runs vek-factory in the end (`args` naming it).
  FactoryProcess(const std::vector<std::string>& args, const std::string& working_dir, const std::string& runtime_dir,
                 std::string output, const std::string& time_scale = "0.2",
                 const std::string& program = FactoryProgramPath())
      : output_(std::move(output)) {
    ChildCommand command(program, args, runtime_dir, time_scale);
    const int out = open(output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0) return;
    std::shared_lock gate(ForkExecGate());
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      const int null_in = open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (null_in < 0 || dup2(null_in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 ||
          dup2(out, STDERR_FILENO) < 0 || chdir(working_dir.c_str()) != 0)
        _exit(127);
      close_range(3, ~0U, 0);
      execve(command.argv[0], command.argv.data(), command.envp.data());
      _exit(127);
    }
    close(out);
    if (pid_ < 0) return;
    setpgid(pid_, pid_);
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  }
  ~FactoryProcess() {
    if (pid_ > 0 && !exit_status_) {
      kill(pid_, SIGKILL);  // its jobs get SIGTERM from their parent-death signal
      waitpid(pid_, nullptr, 0);
    }
    if (pidfd_ >= 0) close(pidfd_);
  }
  FactoryProcess(const FactoryProcess&) = delete;
  FactoryProcess& operator=(const FactoryProcess&) = delete;

  bool running() const { return pidfd_ >= 0 && !exit_status_; }
  void Signal(int signal) const {
    if (running()) kill(pid_, signal);
  }
  std::string Output() const { return ReadWhole(output_); }
  // Waits until the output holds `text`; false when `bound` passed or it ended without it.
  bool AwaitOutput(const std::string& text, Clock::duration bound) const {
    const auto holds = [&] { return Output().find(text) != std::string::npos; };
    return AwaitInFolder(std::filesystem::path(output_).parent_path(), [&] { return holds() || Ended(); }, bound) &&
           holds();
  }
  // Its exit status; nothing when it did not exit by itself within `bound` (then it is killed).
  std::optional<int> Wait(Clock::duration bound) {
    if (!running()) return exit_status_;
    pollfd fd{pidfd_, POLLIN, 0};
    const auto deadline = Clock::now() + bound;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      const int ready = poll(&fd, 1, std::max<int>(0, static_cast<int>(left.count())));
      if (ready > 0) break;
      if (ready == 0 || errno != EINTR) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        exit_status_ = -1;
        return std::nullopt;
      }
    }
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return exit_status_;
  }

 private:
  bool Ended() const {
    pollfd fd{pidfd_, POLLIN, 0};
    return pidfd_ < 0 || poll(&fd, 1, 0) > 0;
  }

  std::string output_;
  pid_t pid_ = -1;
  int pidfd_ = -1;
  std::optional<int> exit_status_;
};

}  // namespace vektest
