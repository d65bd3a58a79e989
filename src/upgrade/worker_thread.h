// A task thread (the download worker, the device-connect task) that is stopped
// by request, never killed: every wait on it honours the request.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace vek {

class WorkerThread {
 public:
  WorkerThread() = default;
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Starts `body` on a new thread with its stop token installed for every wait.
  // A thread that has ended is reaped first; false when one is still running.
  bool Start(std::function<int()> body);
  // Asks the thread to stop; returns at once.
  void RequestStop();
  // True from Start until the body has returned.
  bool Running() const { return running_.load(); }
  // Waits for the thread to end. Never call it from a thread the body may be
  // waiting on (the window's thread while the body sends it a notification).
  void Join();
  // The body's result once it has ended.
  int Result() const { return result_.load(); }

 private:
  std::jthread thread_;
  std::atomic<bool> running_{false};
  std::atomic<int> result_{0};
};

}  // namespace vek
