#include "upgrade/worker_thread.h"

#include "records/stop_wait.h"

namespace vek {

WorkerThread::~WorkerThread() {
  RequestStop();
  Join();
}

bool WorkerThread::Start(std::function<int()> body) {
  if (running_.load()) return false;
  Join();
  running_ = true;
  thread_ = std::jthread([this, body = std::move(body)](std::stop_token stop) {
    StopScope scope(stop);
    result_ = body();
    running_ = false;
  });
  return true;
}

void WorkerThread::RequestStop() {
  if (thread_.joinable()) thread_.request_stop();
}

void WorkerThread::Join() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace vek
