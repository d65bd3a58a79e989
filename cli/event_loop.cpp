#include "cli/event_loop.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "events/exit_status.h"

namespace vekcli {
namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

void EndAtOnce(int) {
  constexpr char kText[] = "vek-cli: stopped at once by a second signal\n";
  [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, kText, sizeof kText - 1);
  _exit(vekevents::kExitFailed);
}

}  // namespace

EventLoop::EventLoop() : owner_(std::this_thread::get_id()), wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

EventLoop::~EventLoop() {
  if (wake_fd_ >= 0) close(wake_fd_);
  if (signal_fd_ >= 0) close(signal_fd_);
}

void EventLoop::Post(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(work));
  }
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(wake_fd_, &one, sizeof one);
}

bool EventLoop::CatchStopSignals(std::function<void(int)> on_signal) {
  const sigset_t set = StopSignals();
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
  signal_fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signal_fd_ < 0) {
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return false;
  }
  on_signal_ = std::move(on_signal);
  return true;
}

void EventLoop::RunSignal() {
  signalfd_siginfo info{};
  const ssize_t n = read(signal_fd_, &info, sizeof info);
  if (n == static_cast<ssize_t>(sizeof info) && on_signal_) on_signal_(static_cast<int>(info.ssi_signo));
}

bool EventLoop::RunUntil(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline) {
  using Clock = std::chrono::steady_clock;
  // Tasks end without posting anything, so their end is looked at every 100 ms too.
  constexpr auto kLookAgain = std::chrono::milliseconds(100);
  for (;;) {
    if (done()) return true;
    std::function<void()> work;
    {
      std::lock_guard lock(mutex_);
      if (!queue_.empty()) {
        work = std::move(queue_.front());
        queue_.pop_front();
      }
    }
    if (work) {
      work();
      continue;
    }
    const auto now = Clock::now();
    if (now >= deadline) return done();
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(std::min(deadline - now, Clock::duration(kLookAgain)));
    pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {signal_fd_, POLLIN, 0}};
    const int ready = poll(fds, signal_fd_ >= 0 ? 2 : 1, static_cast<int>(wait.count()));
    if (ready <= 0) continue;  // the time to look again, or EINTR
    if (fds[0].revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = read(wake_fd_, &count, sizeof count);
    }
    if (signal_fd_ >= 0 && (fds[1].revents & POLLIN)) RunSignal();
  }
}

void EndAtOnceOnNextStopSignal() {
  struct sigaction action {};
  action.sa_handler = EndAtOnce;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // Only this thread takes them from now on: the others keep them blocked.
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace vekcli
