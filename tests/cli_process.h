// Runs vek-cli as a child process, the way a script would: its own working
// folder and runtime folder, standard output and error captured, a bounded wait.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace vektest {

inline std::string CliProgramPath() { return std::string(VEK_BINARY_DIR) + "/cli/vek-cli"; }

struct CliRun {
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
};

inline CliRun RunCli(const std::vector<std::string>& args, const CliSetup& setup) {
  CliRun run;
  const std::string program = CliProgramPath();
  std::vector<std::string> arg_texts{program};
  arg_texts.insert(arg_texts.end(), args.begin(), args.end());
  std::vector<std::string> env_texts{"XDG_RUNTIME_DIR=" + setup.runtime_dir, "VEK_TIME_SCALE=" + setup.time_scale,
                                     "PATH=/usr/bin:/bin", "LANG=C"};
  env_texts.insert(env_texts.end(), setup.extra_env.begin(), setup.extra_env.end());
  for (const char* keep : {"TSAN_OPTIONS", "ASAN_OPTIONS", "UBSAN_OPTIONS"})
    if (const char* value = getenv(keep)) env_texts.push_back(std::string(keep) + "=" + value);
  // Everything the child needs is prepared before fork: after it, only exec-safe calls.
  std::vector<char*> argv, envp;
  for (auto& text : arg_texts) argv.push_back(text.data());
  for (auto& text : env_texts) envp.push_back(text.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) return run;
  const auto started = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int null_in = open("/dev/null", O_RDONLY);
    if (null_in < 0 || dup2(null_in, STDIN_FILENO) < 0 || dup2(out_pipe[1], STDOUT_FILENO) < 0 ||
        dup2(err_pipe[1], STDERR_FILENO) < 0 || chdir(setup.working_dir.c_str()) != 0)
      _exit(127);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (pid < 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    return run;
  }

  const auto deadline = started + std::chrono::seconds(setup.limit_seconds);
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open_pipes = 2;
  while (open_pipes > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      run.timed_out = true;
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
