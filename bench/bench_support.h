// What the benchmark programs share: child processes with their resource use,
// the paths of the built programs, scratch folders and medians, and the trays
// of simulated modules that vek-factory flashes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "records/stop_wait.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

inline double CpuSeconds(const rusage& usage) { return Seconds(usage.ru_utime) + Seconds(usage.ru_stime); }

inline double CpuSeconds(int who) {
  rusage usage {};
  getrusage(who, &usage);
  return CpuSeconds(usage);
}

// "1,8,16,32": the sizes, 1 first whether named or not (the measure of the
// others); nothing when one is not a number from 1 to `most`.
inline std::optional<std::vector<size_t>> Sizes(const std::string& text, size_t most) {
  std::vector<size_t> sizes{1};
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    char* end = nullptr;
    const unsigned long size = std::strtoul(item.c_str(), &end, 10);
    if (item.empty() || *end != '\0' || size < 1 || size > most) return std::nullopt;
    if (std::find(sizes.begin(), sizes.end(), size) == sizes.end()) sizes.push_back(size);
  }
  return sizes;
}

// The whole machine's busy and total CPU time so far (/proc/stat, in ticks):
// the ptys' kernel workers and other users' work count here, in no rusage.
inline std::pair<double, double> MachineTicks() {
  std::ifstream in("/proc/stat");
  std::string cpu;
  double value = 0, total = 0, idle = 0;
  in >> cpu;
  for (int field = 0; field < 8 && in >> value; ++field) {
    total += value;
    if (field == 3 || field == 4) idle += value;  // idle, iowait
  }
  return {total - idle, total};
}

inline double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

inline double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// The value below which `share` (0..1) of the values lie (nearest rank).
inline double Quantile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t at = static_cast<size_t>(share * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

// How often each figure is measured (VEK_BENCH_RUNS, default `fallback`).
inline int Runs(int fallback) {
  const char* text = std::getenv("VEK_BENCH_RUNS");
  const int runs = text ? std::atoi(text) : fallback;
  return runs >= 1 && runs <= 50 ? runs : fallback;
}

// A program built next to this one: build/<folder>/<name>.
inline std::string BuiltProgram(const char* folder, const char* name) {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return (self.parent_path().parent_path() / folder / name).string();
}

// A scratch folder, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/vek-bench-XXXXXX";
    const char* made = mkdtemp(pattern);
    path_ = made ? made : "/tmp";
  }
  ~ScratchDir() {
    std::error_code error;
    if (path_ != "/tmp") std::filesystem::remove_all(path_, error);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A child program whose standard error (and standard output, unless kept) is
// collected, and whose own resource use is read when it ends.
class ChildProcess {
 public:
  struct Setup {
    std::string working_dir;              // empty: this process's
    std::vector<std::string> environment;  // NAME=VALUE added to this process's
    bool keep_stdout = false;             // false: standard output goes to the collected stream too
  };

  ChildProcess(const std::vector<std::string>& args, const Setup& setup) {
    if (args.empty()) return;
    // Everything the child needs is made before fork: after it, while other
    // threads may hold locks, the child makes only async-signal-safe calls.
    std::vector<std::string> environment = setup.environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string text = *entry;
      const std::string name = text.substr(0, text.find('=') + 1);
      const bool replaced = std::any_of(environment.begin(), environment.end(),
                                        [&](const std::string& e) { return e.compare(0, name.size(), name) == 0; });
      if (!replaced) environment.push_back(text);
    }
    std::vector<char*> argv, envp;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    for (const auto& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const char* working_dir = setup.working_dir.empty() ? nullptr : setup.working_dir.c_str();
    const bool keep_stdout = setup.keep_stdout;

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    started_ = Clock::now();
    pid_ = fork();
    if (pid_ == 0) {
      if (dup2(fds[1], STDERR_FILENO) < 0 || (!keep_stdout && dup2(fds[1], STDOUT_FILENO) < 0)) _exit(127);
      if (working_dir != nullptr && chdir(working_dir) != 0) _exit(127);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    close(fds[1]);
    output_fd_ = fds[0];
    if (pid_ < 0) close(output_fd_), output_fd_ = -1;
  }
  ~ChildProcess() {
    if (pid_ > 0 && !ended_) Stop();
    if (output_fd_ >= 0) close(output_fd_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }

  // Reads what the child writes until it ends, then reaps it.
  int Wait() {
    if (pid_ <= 0) return -1;
    Drain();
    int status = 0;
    wait4(pid_, &status, 0, &usage_);
    wall_ = SecondsSince(started_);
    ended_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  int Stop() {
    if (pid_ > 0 && !ended_) kill(pid_, SIGTERM);
    return Wait();
  }

  const std::string& output() const { return output_; }
  const rusage& usage() const { return usage_; }
  double wall_seconds() const { return wall_; }
  double cpu_seconds() const { return CpuSeconds(usage_); }
  double max_rss_mib() const { return static_cast<double>(usage_.ru_maxrss) / 1024.0; }

 private:
  void Drain() {
    char buffer[8192];
    ssize_t n;
    while (output_fd_ >= 0 && (n = read(output_fd_, buffer, sizeof buffer)) != 0) {
      if (n > 0) output_.append(buffer, static_cast<size_t>(n));
      else if (errno != EINTR) break;
    }
  }

  pid_t pid_ = -1;
  int output_fd_ = -1;
  bool ended_ = false;
  Clock::time_point started_;
  double wall_ = 0;
  rusage usage_ {};
  std::string output_;
};

// Waits (up to 5 s) until the simulated module has listed its ports.
inline bool WaitForPortMap(const std::string& path) {
  for (int i = 0; i < 500; ++i) {
    std::error_code error;
    if (std::filesystem::file_size(path, error) > 0 && !error) return true;
    vek::PauseMs(10);
  }
  return false;
}

// The number of lines of a port map naming a USB path (each module has three ports).
inline size_t PublishedPorts(const std::string& path) {
  std::ifstream in(path);
  size_t count = 0;
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#' && std::count(line.begin(), line.end(), '\t') == 2) ++count;
  return count;
}

// Waits (up to 10 s) until every port of the tray is in the port map.
inline bool WaitForTray(const std::string& path, size_t modules) {
  for (int i = 0; i < 1000; ++i) {
    if (PublishedPorts(path) >= 3 * modules) return true;
    vek::PauseMs(10);
  }
  return false;
}

// vek-sim's arguments for a tray of `modules` ZX2180 modules from USB path 1-1
// on, which a download moves from V1.0 to V1.1.
inline std::vector<std::string> SimulatedTray(const std::string& sim, const std::string& port_map, size_t modules) {
  return {sim, "--port-map", port_map, "--modules", std::to_string(modules), "--usb-path", "1-1", "--model",
          "ZX2180", "--revision", "ZX2180_SIM_V1.0", "--revision-after-download", "ZX2180_SIM_V1.1"};
}

// A copy of vek-factory in `bin` with `wrapper` beside it as "vek-cli": it runs
// the vek-cli found beside itself, so each job runs the wrapper, which runs the
// real vek-cli (VEK_BENCH_CHILD_PROGRAM) and writes down what it sees.
inline bool MakeFactoryFolder(const std::string& factory, const std::string& wrapper, const std::string& bin) {
  std::error_code error;
  std::filesystem::create_directories(bin, error);
  if (!error)
    std::filesystem::copy_file(factory, bin + "/vek-factory", std::filesystem::copy_options::overwrite_existing, error);
  if (!error) std::filesystem::create_symlink(wrapper, bin + "/vek-cli", error);
  return !error;
}

// A program (vek-factory) started with its output into a file, whose end is
// waited for in poll() on a pidfd, and which is reaped with its resource use.
class Program {
 public:
  struct Ended {
    int status = -1;  // the exit status, 128 + the signal's number
    double wall = 0;  // start to exit
    rusage usage {};  // its own and every descendant's it reaped
  };

  Program(const std::vector<std::string>& args, const std::string& folder, const std::vector<std::string>& environment,
          const std::string& output) {
    std::vector<std::string> env = environment;
    for (char** entry = environ; *entry != nullptr; ++entry) env.push_back(*entry);  // the first of a name counts
    std::vector<char*> argv, envp;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    for (const auto& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) return;
    started_ = Clock::now();
    pid_ = fork();
    if (pid_ == 0) {
      if (dup2(out, STDOUT_FILENO) < 0 || dup2(out, STDERR_FILENO) < 0 || chdir(folder.c_str()) != 0) _exit(127);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    close(out);
    if (pid_ > 0) pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  }
  ~Program() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      Reap();
    }
    if (pidfd_ >= 0) close(pidfd_);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // Readable once the program has ended (and is not reaped yet); -1 on a kernel without pidfds.
  int pidfd() const { return pidfd_; }

  // Waits for its end, at most `deadline_s`; past it the program is told to stop
  // (SIGTERM, once more after 10 s: vek-factory lets its jobs finish on the first), then killed.
  Ended Wait(int deadline_s) {
    if (pid_ <= 0) return {};
    if (pidfd_ >= 0) {
      pollfd ended {pidfd_, POLLIN, 0};
      for (int stops = 0; stops < 3 && poll(&ended, 1, (stops == 0 ? deadline_s : 10) * 1000) == 0; ++stops)
        kill(pid_, stops < 2 ? SIGTERM : SIGKILL);
    }
    return Reap();
  }

  // Reaps it; waits without a deadline, so only once it has ended (its pidfd readable) or been told to.
  Ended Reap() {
    if (pid_ <= 0 || reaped_) return ended_;
    int status = 0;
    while (wait4(pid_, &status, 0, &ended_.usage) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    ended_.wall = SecondsSince(started_);
    ended_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return ended_;
  }

 private:
  pid_t pid_ = -1;
  int pidfd_ = -1;
  bool reaped_ = false;
  Clock::time_point started_;
  Ended ended_;
};

// One line of bench_child_usage (or bench_event_stamp with VEK_BENCH_CHILD_USAGE):
// a vek-cli's own figures and the wrapper's.
struct ChildUsage {
  int pid = 0, status = -1;
  double user = 0, sys = 0;    // the vek-cli
  long max_rss_kib = 0;
  double own_user = 0, own_sys = 0;  // the wrapper around it
  double cpu() const { return user + sys; }
  double wrapper_cpu() const { return own_user + own_sys; }
};

inline std::vector<ChildUsage> ReadChildUsage(const std::string& path) {
  std::ifstream in(path);
  std::vector<ChildUsage> lines;
  for (std::string line; std::getline(in, line);) {
    ChildUsage usage;
    if (std::sscanf(line.c_str(), "%d %d %lf %lf %ld %lf %lf", &usage.pid, &usage.status, &usage.user, &usage.sys,
                    &usage.max_rss_kib, &usage.own_user, &usage.own_sys) == 7)
      lines.push_back(usage);
  }
  return lines;
}

// vek-factory's report: how many lines say "succeeded", and the longest duration.
struct ReportSummary {
  size_t succeeded = 0;
  double longest_job = 0;
};

inline ReportSummary ReadReport(const std::string& path) {
  std::ifstream in(path);
  ReportSummary summary;
  for (std::string line; std::getline(in, line);) {
    if (line.find("\"result\":\"succeeded\"") != std::string::npos) ++summary.succeeded;
    const auto at = line.find("\"duration\":");
    if (at != std::string::npos) summary.longest_job = std::max(summary.longest_job, std::atof(line.c_str() + at + 11));
  }
  return summary;
}

inline std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

}  // namespace bench
