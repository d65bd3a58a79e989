#include "records/stop_wait.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <optional>

namespace vek {
namespace {

struct ThreadStop {
  std::stop_token token;
  int wake_fd = -1;
  std::optional<std::stop_callback<std::function<void()>>> on_stop;
};

thread_local ThreadStop* current_stop = nullptr;

// Nanoseconds spent in fixed pauses, all threads together.
std::atomic<int64_t> fixed_wait_ns{0};

timespec ToTimespec(Clock::duration d) {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  if (ns < 0) ns = 0;
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// One poll on fd (when >= 0) for `events`, with the thread's wake descriptor.
WaitResult PollUntil(int fd, short events, Deadline deadline) {
  for (;;) {
    if (StopRequested()) return WaitResult::kStopped;
    pollfd fds[2];
    nfds_t count = 0;
    if (fd >= 0) fds[count++] = pollfd{fd, events, 0};
    const bool has_wake = current_stop != nullptr && current_stop->wake_fd >= 0;
    if (has_wake) fds[count++] = pollfd{current_stop->wake_fd, POLLIN, 0};
    timespec timeout = ToTimespec(deadline.Remaining());
    int ready = ppoll(count ? fds : nullptr, count, &timeout, nullptr);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return WaitResult::kHungUp;
    }
    if (StopRequested()) return WaitResult::kStopped;
    if (ready == 0) {
      if (deadline.Passed()) return WaitResult::kTimeout;
      continue;
    }
    if (fd >= 0) {
      // A vanished pty reads as "readable" with nothing to read, together with
      // POLLHUP: report it as gone once no byte is left to read.
      if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        int queued = 0;
        if (events == POLLIN && ioctl(fd, FIONREAD, &queued) == 0 && queued > 0) return WaitResult::kReady;
        return WaitResult::kHungUp;
      }
      if (fds[0].revents & events) return WaitResult::kReady;
    }
    if (deadline.Passed()) return WaitResult::kTimeout;
  }
}

}  // namespace

StopScope::StopScope(std::stop_token token) {
  auto* stop = new ThreadStop;
  stop->token = token;
  stop->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  const int wake_fd = stop->wake_fd;
  stop->on_stop.emplace(token, std::function<void()>([wake_fd] {
                          if (wake_fd < 0) return;
                          uint64_t one = 1;
                          [[maybe_unused]] auto n = write(wake_fd, &one, sizeof one);
                        }));
  current_stop = stop;
}

StopScope::~StopScope() {
  ThreadStop* stop = current_stop;
  current_stop = nullptr;
  if (stop == nullptr) return;
  stop->on_stop.reset();  // waits for a callback that is running right now
  if (stop->wake_fd >= 0) close(stop->wake_fd);
  delete stop;
}

bool StopRequested() { return current_stop != nullptr && current_stop->token.stop_requested(); }

std::stop_token CurrentStopToken() { return current_stop != nullptr ? current_stop->token : std::stop_token(); }

WaitResult WaitForInput(int fd, Deadline deadline) { return PollUntil(fd, POLLIN, deadline); }

WaitResult WaitForOutput(int fd, Deadline deadline) { return PollUntil(fd, POLLOUT, deadline); }

bool SleepUntil(Deadline deadline) {
  const auto start = Clock::now();
  const bool slept = PollUntil(-1, 0, deadline) != WaitResult::kStopped;
  fixed_wait_ns.fetch_add(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count(),
                          std::memory_order_relaxed);
  return slept;
}

Clock::duration FixedWaitTotal() {
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::nanoseconds(fixed_wait_ns.load(std::memory_order_relaxed)));
}

bool PauseMs(uint32_t milliseconds) { return SleepUntil(Deadline::AfterMs(milliseconds)); }

}  // namespace vek
