// The test's own thread as a front end's window thread: the session posts work
// here, and the test runs it until what it waits for has happened.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <memory>
#include <thread>

#include "device/session.h"

namespace vektest {

class WindowThreadQueue {
 public:
  void Post(std::function<void()> work) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(work));
    }
    wake_.notify_one();
  }

  bool OnWindowThread() const { return std::this_thread::get_id() == window_thread_; }

  // Runs the posted work until `done` holds; false when it still does not after `ms`.
  bool RunUntil(const std::function<bool()>& done, int ms = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
      std::function<void()> work;
      {
        std::unique_lock lock(mutex_);
        // `done` may turn true without any work posted: look again every 20 ms.
        if (!wake_.wait_until(lock, std::min(end, std::chrono::steady_clock::now() + std::chrono::milliseconds(20)),
                              [this] { return !queue_.empty(); })) {
          if (std::chrono::steady_clock::now() >= end) return done();
          continue;
        }
        work = std::move(queue_.front());
        queue_.pop_front();
      }
      work();
    }
    return true;
  }

 private:
  const std::thread::id window_thread_ = std::this_thread::get_id();
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
};

// A session whose window thread is the test's own, served by `queue`.
inline std::unique_ptr<vek::Session> SessionOnQueue(vek::WindowNotifications& window, WindowThreadQueue& queue) {
  return std::make_unique<vek::Session>(
      window, [&queue](std::function<void()> work) { queue.Post(std::move(work)); },
      [&queue] { return queue.OnWindowThread(); });
}

}  // namespace vektest
