// The kernel's pty path alone: pairs of processes exchanging NV-sized frames over
// ptys, no VEK code, one pair alone and many at once. Shows what a tray of
// simulated modules costs the machine before VEK does anything.
//
//   bench_pty_pingpong [--sizes N,N,...] [--exchanges N]   (defaults 1,8,16,32 and 8000;
//                       one pair alone is always run first, as the measure of the others)
//
// Each pair: a "module" process on the master (poll, read a request, write a
// reply) and a "host" process on the raw slave (write a request, poll, read the
// reply), the way vek-sim and vek-cli use a port. Every wait is bounded: a pair
// that stays silent for 5 s fails the run.
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

// An NV read: the request and its reply are each about 140 bytes framed.
constexpr size_t kFrameBytes = 140;
constexpr int kSilenceLimitMs = 5000;
constexpr size_t kMostPairs = 64;

// Reads exactly `wanted` bytes, each read after poll() says there are some.
bool ReadFrame(int fd, uint8_t* buffer, size_t wanted) {
  size_t got = 0;
  while (got < wanted) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kSilenceLimitMs) != 1) return false;
    const ssize_t n = read(fd, buffer + got, wanted - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

bool WriteFrame(int fd, const uint8_t* bytes) {
  size_t done = 0;
  while (done < kFrameBytes) {
    const ssize_t n = write(fd, bytes + done, kFrameBytes - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

[[noreturn]] void RunModule(int master, int exchanges) {
  uint8_t request[kFrameBytes];
  uint8_t reply[kFrameBytes];
  std::memset(reply, 'r', sizeof reply);
  for (int i = 0; i < exchanges; ++i)
    if (!ReadFrame(master, request, sizeof request) || !WriteFrame(master, reply)) _exit(1);
  // Closing the master at once could overtake the last reply on its way to the
  // host: the module stays until the host has gone.
  pollfd p{master, POLLIN, 0};
  while (poll(&p, 1, kSilenceLimitMs) == 1 && (p.revents & POLLHUP) == 0) {
    if (read(master, request, sizeof request) <= 0) break;
  }
  _exit(0);
}

[[noreturn]] void RunHost(int slave, int exchanges) {
  uint8_t request[kFrameBytes];
  uint8_t reply[kFrameBytes];
  std::memset(request, 'q', sizeof request);
  for (int i = 0; i < exchanges; ++i)
    if (!WriteFrame(slave, request) || !ReadFrame(slave, reply, sizeof reply)) _exit(1);
  _exit(0);
}

struct PairsRun {
  double wall_s = 0;
  double user_s = 0;
  double sys_s = 0;
  double machine_s = 0;  // every core's busy time meanwhile: the kernel's pty workers too
  bool ok = true;
};

PairsRun RunPairs(size_t pairs, int exchanges) {
  PairsRun run;
  rusage before {};
  getrusage(RUSAGE_CHILDREN, &before);
  const auto [busy_before, total_before] = bench::MachineTicks();
  const auto start = bench::Clock::now();
  size_t children = 0;
  for (size_t p = 0; p < pairs; ++p) {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
      run.ok = false;
      break;
    }
    termios raw {};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    if (fork() == 0) {
      close(slave);
      RunModule(master, exchanges);
    }
    if (fork() == 0) {
      close(master);
      RunHost(slave, exchanges);
    }
    children += 2;
    close(master);
    close(slave);
  }
  for (size_t i = 0; i < children; ++i) {
    int status = 0;
    if (wait(&status) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) run.ok = false;
  }
  run.wall_s = bench::SecondsSince(start);
  const auto [busy_after, total_after] = bench::MachineTicks();
  const double cores = static_cast<double>(sysconf(_SC_NPROCESSORS_ONLN));
  if (total_after > total_before) run.machine_s = (busy_after - busy_before) / (total_after - total_before) * cores * run.wall_s;
  rusage after {};
  getrusage(RUSAGE_CHILDREN, &after);
  run.user_s = bench::Seconds(after.ru_utime) - bench::Seconds(before.ru_utime);
  run.sys_s = bench::Seconds(after.ru_stime) - bench::Seconds(before.ru_stime);
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<size_t> sizes{1, 8, 16, 32};
  int exchanges = 8000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto named = arg == "--sizes" && i + 1 < argc ? bench::Sizes(argv[i + 1], kMostPairs) : std::nullopt;
    if (named) {
      sizes = *named;
      ++i;
    } else if (arg == "--exchanges" && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
      exchanges = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: bench_pty_pingpong [--sizes N,N,... (1 to 64; one pair alone always first)] [--exchanges N]\n");
      return 2;
    }
  }
  std::printf("### The pty path alone: pairs of processes exchanging %zu-byte frames (bench_pty_pingpong)\n\n",
              kFrameBytes);
  std::printf("%d request/reply exchanges a pair, every pair at once; no VEK code; %ld cores. The pairs' CPU is "
              "their own (user / system); the machine's is every core's busy time meanwhile, the kernel's workers "
              "that carry each pty write included.\n\n",
              exchanges, sysconf(_SC_NPROCESSORS_ONLN));
  std::printf("| pairs | wall s | µs an exchange | × one pair | pairs' CPU s user / system | pairs' CPU µs an "
              "exchange | machine CPU µs an exchange |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  double alone = 0;
  int status = 0;
  for (const size_t pairs : sizes) {
    const PairsRun run = RunPairs(pairs, exchanges);
    if (!run.ok) {
      std::printf("| %zu | failed: a pair stopped answering or could not start | | | | | |\n", pairs);
      status = 1;
      continue;
    }
    const double per_exchange = run.wall_s / exchanges * 1e6;
    if (alone == 0) alone = per_exchange;
    const double all_exchanges = static_cast<double>(exchanges) * static_cast<double>(pairs);
    std::printf("| %zu | %.2f | %.0f | %.2f | %.2f / %.2f | %.0f | %.0f |\n", pairs, run.wall_s, per_exchange,
                per_exchange / alone, run.user_s, run.sys_s, (run.user_s + run.sys_s) / all_exchanges * 1e6,
                run.machine_s / all_exchanges * 1e6);
    std::fflush(stdout);
  }
  std::printf("\n");
  return status;
}
