// Runs vek-cli as a child process, the way a script would: its own working
// folder and runtime folder, standard output and error captured, a bounded wait.
// The child is the leader of a process group of its own, so that whatever it
// starts can be told apart from the test process and from the other runs.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <shared_mutex>
#include <string>
#include <vector>
#include "test_paths.h"

namespace vektest {

// Between fork() and execve() a child holds a copy of every descriptor of the test
// process: the simulated modules' ports and the files other threads have open.
// Starting a child holds this gate shared until the child has exec'd (or failed
// to); a look through /proc for who holds a port holds it exclusively, so it never
// takes such a child for a holder.
inline std::shared_mutex& ForkExecGate() {
  static std::shared_mutex gate;
  return gate;
}

inline std::string CliProgramPath() { return std::string(vektest::BinaryDir()) + "/cli/vek-cli"; }

struct CliRun {
  pid_t pid = -1;        // also its process group
  int exit_status = -1;  // -1 when it did not exit by itself
  bool timed_out = false;
  std::string out;  // standard output
  std::string err;  // standard error
  double wall_seconds = 0;
  double cpu_seconds = 0;  // user + system time of the child

  std::vector<std::string> OutLines() const {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
      lines.push_back(out.substr(start, end - start));
    return lines;
  }
};

struct CliSetup {
  std::string working_dir;
  std::string runtime_dir;  // XDG_RUNTIME_DIR: where the single-instance lock lives
  std::string time_scale = "0.2";
  int limit_seconds = 60;  // killed and reported as timed out after this
  std::vector<std::string> extra_env;  // more NAME=VALUE entries
  std::function<void(pid_t)> on_started;  // told the child's pid before it runs vek-cli
};

// Blocks until the child's end of `report` closes (at its execve) or it writes
// the errno of a failed execve; bounded by `deadline`.
inline void AwaitExec(int report, std::chrono::steady_clock::time_point deadline) {
  pollfd fd{report, POLLIN, 0};
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    const int ready = poll(&fd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return;
    int error = 0;
    const ssize_t n = read(report, &error, sizeof error);
    if (n < 0 && errno == EINTR) continue;
    return;  // EOF: exec'd; data: exec failed and the child exits
  }
}

// A child's command line and environment (the scale, the runtime folder, the
// sanitizers' options), made before fork(): after it, only exec-safe calls.
struct ChildCommand {
  ChildCommand(const std::string& program, const std::vector<std::string>& args, const std::string& runtime_dir,
               const std::string& time_scale, const std::vector<std::string>& extra_env = {}) {
    arg_texts.push_back(program);
    arg_texts.insert(arg_texts.end(), args.begin(), args.end());
    // The station's record goes beside the lock: never into the user's own database.
    env_texts = {"XDG_RUNTIME_DIR=" + runtime_dir, "XDG_DATA_HOME=" + runtime_dir + "/data",
                 "VEK_TIME_SCALE=" + time_scale, "PATH=/usr/bin:/bin", "LANG=C"};
    env_texts.insert(env_texts.end(), extra_env.begin(), extra_env.end());
    for (const char* keep : {"TSAN_OPTIONS", "ASAN_OPTIONS", "UBSAN_OPTIONS"})
      if (const char* value = getenv(keep)) env_texts.push_back(std::string(keep) + "=" + value);
    for (auto& text : arg_texts) argv.push_back(text.data());
    for (auto& text : env_texts) envp.push_back(text.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
  }
  ChildCommand(const ChildCommand&) = delete;  // argv and envp point into the texts
  ChildCommand& operator=(const ChildCommand&) = delete;

  std::vector<std::string> arg_texts, env_texts;
  std::vector<char*> argv, envp;
};

inline CliRun RunCli(const std::vector<std::string>& args, const CliSetup& setup) {
  CliRun run;
  const std::string program = CliProgramPath();
  ChildCommand command(program, args, setup.runtime_dir, setup.time_scale, setup.extra_env);

  int out_pipe[2], err_pipe[2], exec_report[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 || pipe2(exec_report, O_CLOEXEC) != 0)
    return run;
  const auto started = std::chrono::steady_clock::now();
  std::shared_lock gate(ForkExecGate());
  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls here. Nothing of the test process but the three
    // standard streams and the exec report goes along, not even a descriptor another
    // thread opened without O_CLOEXEC (a std::ifstream, say).
    const int report = exec_report[1];
    setpgid(0, 0);
    const int null_in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null_in < 0 || dup2(null_in, STDIN_FILENO) < 0 || dup2(out_pipe[1], STDOUT_FILENO) < 0 ||
        dup2(err_pipe[1], STDERR_FILENO) < 0 || chdir(setup.working_dir.c_str()) != 0)
      _exit(127);
    close_range(3, static_cast<unsigned>(report) - 1, 0);
    close_range(static_cast<unsigned>(report) + 1, ~0U, 0);
    execve(program.c_str(), command.argv.data(), command.envp.data());
    const int error = errno;
    [[maybe_unused]] const ssize_t n = write(report, &error, sizeof error);
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  close(exec_report[1]);
  if (pid < 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    close(exec_report[0]);
    return run;
  }
  run.pid = pid;
  setpgid(pid, pid);  // also from here: whichever runs first, the group exists before the gate opens
  if (setup.on_started) setup.on_started(pid);
  AwaitExec(exec_report[0], started + std::chrono::seconds(setup.limit_seconds));
  close(exec_report[0]);
  gate.unlock();

  const auto deadline = started + std::chrono::seconds(setup.limit_seconds);
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open_pipes = 2;
  while (open_pipes > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      run.timed_out = true;
      kill(-pid, SIGKILL);  // with whatever it started
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_pipes;
      }
    }
  }
  for (auto& fd : fds)
    if (fd.fd >= 0) close(fd.fd);
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  run.wall_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  run.cpu_seconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                    usage.ru_stime.tv_usec / 1e6;
  if (!run.timed_out && WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
  return run;
}

}  // namespace vektest
