// Runs vek-cli as its child and stands between it and vek-factory on the event
// stream: every line vek-cli writes to its descriptor 3 goes on to this
// program's descriptor 3 (vek-factory's pipe) as soon as it is read, and is
// written down with the moment it was read, so that a bench can tell how long
// each event took to reach the tray's page. Placed as "vek-cli" beside a copy
// of vek-factory, as bench_child_usage is.
//
//   VEK_BENCH_CHILD_PROGRAM=/path/to/vek-cli VEK_BENCH_STAMPS=FILE
//   [VEK_BENCH_CHILD_USAGE=FILE] bench_event_stamp [ARG ...]
//
// Appends "<CLOCK_MONOTONIC ns> <the --module argument> <the event line>" to
// FILE, one write per line on an O_APPEND descriptor, so the lines of wrappers
// running side by side never mix. With VEK_BENCH_CHILD_USAGE it also appends
// bench_child_usage's line ("pid exit_status user_s sys_s max_rss_kib own_user_s
// own_sys_s"), so the caller can take vek-cli and this wrapper out of
// vek-factory's figures. SIGINT and SIGTERM are passed on to the child; the
// exit status is the child's (128 + the signal's number when a signal ended it).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kEventsFd = 3;
// A child that has ended may have left a descendant holding the pipe: its
// lines are waited for this long, not for ever.
constexpr int kDrainAfterEndMs = 2000;
// How long one poll() sleeps at most; the loop looks at the child again then.
constexpr int kLongestSleepMs = 1000;

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

long long MonotonicNs() {
  timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

std::string ModuleOf(char** argv) {
  for (int i = 1; argv[i] != nullptr; ++i) {
    if (std::strcmp(argv[i], "--module") == 0 && argv[i + 1] != nullptr) return argv[i + 1];
    if (std::strncmp(argv[i], "--module=", 9) == 0) return argv[i] + 9;
  }
  return "-";
}

void AppendLine(int fd, const std::string& line) {
  if (fd >= 0) (void)!write(fd, line.data(), line.size());
}

// The bytes bound for vek-factory: sent as far as its pipe takes them now, the
// rest when poll() says there is room. Its pipe gone, they are dropped.
struct Outgoing {
  std::string bytes;
  bool broken = false;

  void Send() {
    while (!broken && !bytes.empty()) {
      const ssize_t n = write(kEventsFd, bytes.data(), bytes.size());
      if (n > 0) bytes.erase(0, static_cast<size_t>(n));
      else if (n < 0 && errno == EINTR) continue;
      else if (n < 0 && errno == EAGAIN) return;
      else broken = true, bytes.clear();
    }
  }
};

}  // namespace

int main(int, char** argv) {
  const char* program = std::getenv("VEK_BENCH_CHILD_PROGRAM");
  const char* stamps_file = std::getenv("VEK_BENCH_STAMPS");
  const char* usage_file = std::getenv("VEK_BENCH_CHILD_USAGE");
  if (program == nullptr || stamps_file == nullptr) {
    std::fprintf(stderr, "bench_event_stamp: VEK_BENCH_CHILD_PROGRAM and VEK_BENCH_STAMPS must be set\n");
    return 127;
  }
  // Without an events pipe there is nothing to stand between (and a pipe made
  // below could take descriptor 3 and be mistaken for it).
  if (fcntl(kEventsFd, F_GETFD) < 0) {
    std::fprintf(stderr, "bench_event_stamp: descriptor 3 (the events pipe) is not open\n");
    return 127;
  }
  const std::string module = ModuleOf(argv);
  const int stamps = open(stamps_file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  int events[2];
  if (stamps < 0 || pipe2(events, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "bench_event_stamp: %s\n", std::strerror(errno));
    return 127;
  }
  // Blocked before fork, so no signal is lost before the signalfd reads them;
  // the child gets the mask it would have had.
  sigset_t watched, before;
  sigemptyset(&watched);
  sigaddset(&watched, SIGINT);
  sigaddset(&watched, SIGTERM);
  sigaddset(&watched, SIGCHLD);
  sigprocmask(SIG_BLOCK, &watched, &before);
  argv[0] = const_cast<char*>(program);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    // A group of its own: vek-factory signals this wrapper's group, and the
    // wrapper passes each signal on once (vek-cli counts them: a second SIGINT
    // stops at once). Gone with the wrapper, as it would be with vek-factory.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (dup2(events[1], kEventsFd) < 0) _exit(127);
    execv(program, argv);
    _exit(127);
  }
  close(events[1]);
  if (pid < 0) return 127;
  setpgid(pid, pid);
  // A vek-factory gone must not end the wrapper before its child: its lines are dropped instead.
  signal(SIGPIPE, SIG_IGN);
  const int signals = signalfd(-1, &watched, SFD_CLOEXEC | SFD_NONBLOCK);
  fcntl(events[0], F_SETFL, fcntl(events[0], F_GETFL) | O_NONBLOCK);
  // Only this wrapper writes to vek-factory's pipe now (its child's descriptor 3 is the new pipe).
  fcntl(kEventsFd, F_SETFL, fcntl(kEventsFd, F_GETFL) | O_NONBLOCK);

  Outgoing outgoing;
  std::string pending;  // a line not read to its end yet
  int input = events[0];
  bool reaped = false;
  int status = 0;
  rusage child {};
  long long drain_until = 0;
  auto reap = [&] {
    if (reaped) return;
    const pid_t done = wait4(pid, &status, WNOHANG, &child);
    if (done == pid) reaped = true, drain_until = MonotonicNs() + kDrainAfterEndMs * 1000000LL;
  };
  for (;;) {
    if (reaped) {
      const bool sent = input < 0 && (outgoing.bytes.empty() || outgoing.broken);
      if (sent || MonotonicNs() >= drain_until) break;
    }
    pollfd fds[3] = {{signals, POLLIN, 0}, {input, POLLIN, 0}, {-1, POLLOUT, 0}};
    if (!outgoing.bytes.empty() && !outgoing.broken) fds[2].fd = kEventsFd;
    const int sleep_ms =
        reaped ? static_cast<int>(std::max(0LL, drain_until - MonotonicNs()) / 1000000LL + 1) : kLongestSleepMs;
    if (poll(fds, 3, sleep_ms) < 0 && errno != EINTR) break;
    if (fds[1].revents != 0) {
      char buffer[16384];
      const ssize_t n = read(input, buffer, sizeof buffer);
      const long long now = MonotonicNs();  // the moment the lines reached the wrapper
      if (n > 0) {
        pending.append(buffer, static_cast<size_t>(n));
        const size_t complete = pending.rfind('\n');
        if (complete != std::string::npos) {
          // Sent on first: the stamps file is the bench's, and waits.
          outgoing.bytes.append(pending, 0, complete + 1);
          outgoing.Send();
          const std::string prefix = std::to_string(now) + " " + module + " ";
          for (size_t start = 0, end; start <= complete; start = end + 1) {
            end = pending.find('\n', start);
            AppendLine(stamps, prefix + pending.substr(start, end - start + 1));
          }
          pending.erase(0, complete + 1);
        }
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        outgoing.bytes += pending;  // a last line without its end goes on as it is
        pending.clear();
        outgoing.Send();
        close(input);
        input = -1;
      }
    }
    if (fds[2].revents != 0) outgoing.Send();
    if (fds[0].revents != 0) {
      signalfd_siginfo info {};
      while (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        const int number = static_cast<int>(info.ssi_signo);
        if ((number == SIGINT || number == SIGTERM) && !reaped) kill(-pid, number);
      }
    }
    reap();  // also after a sleep without a signal: SIGCHLDs may have been merged
  }
  if (!reaped) {
    // The loop ends early only when poll() itself failed: the child is ended, not waited for unbounded.
    kill(-pid, SIGKILL);
    while (wait4(pid, &status, 0, &child) < 0 && errno == EINTR) {
    }
  }
  const int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (usage_file != nullptr) {
    rusage own {};
    getrusage(RUSAGE_SELF, &own);
    char line[256];
    const int length = std::snprintf(line, sizeof line, "%d %d %.6f %.6f %ld %.6f %.6f\n", static_cast<int>(pid),
                                     exit_status, Seconds(child.ru_utime), Seconds(child.ru_stime), child.ru_maxrss,
                                     Seconds(own.ru_utime), Seconds(own.ru_stime));
    const int fd = open(usage_file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0 && length > 0) {
      AppendLine(fd, std::string(line, static_cast<size_t>(length)));
      close(fd);
    }
  }
  return exit_status;
}
