// vek-cli's "window thread": the main thread runs the work that the tasks post
// to it and the stop signals it catches, sleeping in poll() in between.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace vekcli {

class EventLoop {
 public:
  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  void Post(std::function<void()> work);
  bool OnLoopThread() const { return std::this_thread::get_id() == owner_; }

  // From now on SIGINT and SIGTERM reach `on_signal` on the loop's thread (with
  // the signal's number) instead of ending the process. Call it before any other
  // thread starts: the signals are blocked for every thread and read through a
  // signalfd. False when they cannot be caught (they then end the process).
  bool CatchStopSignals(std::function<void(int)> on_signal);

  // Runs posted work and caught signals until `done()` holds (checked after
  // every piece of work) or the deadline passes. Returns done().
  bool RunUntil(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline);

 private:
  void RunSignal();

  std::thread::id owner_;
  int wake_fd_ = -1;    // eventfd: work was posted
  int signal_fd_ = -1;  // signalfd of SIGINT and SIGTERM, once caught
  std::function<void(int)> on_signal_;
  std::mutex mutex_;
  std::deque<std::function<void()>> queue_;
};

// After the first stop signal: a second SIGINT or SIGTERM ends the process at
// once with status 1, whatever the loop's thread is busy with.
void EndAtOnceOnNextStopSignal();

}  // namespace vekcli
