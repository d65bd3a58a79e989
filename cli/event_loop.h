// vek-cli's "window thread": the main thread runs the work that the tasks post
// to it, sleeping on a condition variable in between.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace vekcli {

class EventLoop {
 public:
  EventLoop() : owner_(std::this_thread::get_id()) {}

  void Post(std::function<void()> work);
  bool OnLoopThread() const { return std::this_thread::get_id() == owner_; }

  // Runs posted work until `done()` holds (checked after every piece of work) or
  // the deadline passes. Returns done().
  bool RunUntil(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline);

 private:
  std::thread::id owner_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
};

}  // namespace vekcli
