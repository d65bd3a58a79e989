#include "cli/event_loop.h"

namespace vekcli {

void EventLoop::Post(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(work));
  }
  wake_.notify_one();
}

bool EventLoop::RunUntil(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline) {
  // Tasks end without posting anything, so their end is looked at every 100 ms too.
  constexpr auto kLookAgain = std::chrono::milliseconds(100);
  for (;;) {
    if (done()) return true;
    std::function<void()> work;
    {
      std::unique_lock lock(mutex_);
      const auto until = std::min(deadline, std::chrono::steady_clock::now() + kLookAgain);
      wake_.wait_until(lock, until, [&] { return !queue_.empty(); });
      if (!queue_.empty()) {
        work = std::move(queue_.front());
        queue_.pop_front();
      }
    }
    if (work) work();
    if (!work && std::chrono::steady_clock::now() >= deadline) return done();
  }
}

}  // namespace vekcli
