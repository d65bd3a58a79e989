#include "upgrade/window_proxy.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "records/stop_wait.h"
#include "test_support.h"

namespace {

// A window thread of our own: runs what is posted to it, in order.
class WindowThread {
 public:
  WindowThread() : thread_([this](std::stop_token stop) { Loop(stop); }) {}
  ~WindowThread() {
    thread_.request_stop();
    wake_.notify_all();
  }
  void Post(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(work));
    wake_.notify_all();
  }
  bool IsCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }
  size_t Queued() {
    std::lock_guard lock(mutex_);
    return queue_.size();
  }
  void Hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
  }
  // Under the lock: a change made between the loop's look and its sleep would
  // be missed until the next post.
  void Release() {
    {
      std::lock_guard lock(mutex_);
      held_ = false;
    }
    wake_.notify_all();
  }

 private:
  void Loop(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
      wake_.wait(lock, stop, [&] { return !held_ && !queue_.empty(); });
      if (stop.stop_requested()) return;
      auto work = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      work();
      lock.lock();
    }
  }
  std::mutex mutex_;
  std::condition_variable_any wake_;
  std::deque<std::function<void()>> queue_;
  std::atomic<bool> held_{false};
  std::jthread thread_;
};

class Handlers : public vek::WindowNotifications {
 public:
  void ShowProgress(uint32_t, int32_t) override {}
  void ShowStatus(const std::string& text) override {
    last_status = text;
    ran_on_window = window->IsCurrent();
    ++statuses;
  }
  void ShowDiagPort(uint32_t) override {}
  void MatchProduct(const std::string&) override {}
  void SetControls(vek::ControlState state) override { controls = static_cast<int>(state); }
  void ShowImei(const std::string&) override {}
  void ShowSwVersion(const std::string&) override {}
  void ShowFlash(const std::string&) override {}
  void DownloadAborted() override {}
  void CheckRestoreDefault(bool) override {}
  void EnableRestoreDefault(bool) override {}
  int ShowMessage(int, const std::string&, const std::string&) override { return 1; }
  std::string ImagePathText() override { return "/images"; }

  WindowThread* window = nullptr;
  std::string last_status;
  std::atomic<bool> ran_on_window{false};
  std::atomic<int> statuses{0};
  std::atomic<int> controls{-1};
};

struct ProxyFixture : ::testing::Test {
  ProxyFixture() { handlers.window = &window; }
  WindowThread window;
  Handlers handlers;
  vek::WindowProxy proxy{handlers, [this](std::function<void()> w) { window.Post(std::move(w)); },
                         [this] { return window.IsCurrent(); }};
};

TEST_F(ProxyFixture, ASentNotificationReturnsAfterTheWindowHandledIt) {
  proxy.ShowStatus("init device...");
  EXPECT_EQ(handlers.last_status, "init device...");
  EXPECT_TRUE(handlers.ran_on_window);
  EXPECT_EQ(proxy.ImagePathText(), "/images");
  EXPECT_EQ(proxy.ShowMessage(2, "erase?", "warning"), 1);
}

TEST_F(ProxyFixture, APostedNotificationDoesNotWaitForTheWindow) {
  window.Hold();
  proxy.SetControls(vek::ControlState::kReady);  // returns although the window is busy
  EXPECT_EQ(handlers.controls, -1);
  window.Release();
  proxy.ShowStatus("after");  // sent: runs after the posted one
  EXPECT_EQ(handlers.controls, 1);
}

TEST_F(ProxyFixture, AStoppedTaskNoLongerWaitsForTheWindow) {
  window.Hold();  // the window's thread is busy (say, stopping this task)
  std::jthread task([&](std::stop_token stop) {
    vek::StopScope scope(stop);
    proxy.ShowStatus("never shown");
  });
  // The call is posted: the task now waits for the window.
  ASSERT_TRUE(vektest::Eventually([&] { return window.Queued() == 1; }, 10000));
  task.request_stop();
  task.join();  // would hang if the sent call ignored the stop
  window.Release();
  proxy.ShowStatus("later");
  EXPECT_EQ(handlers.statuses, 1);  // the abandoned call was not run
  EXPECT_EQ(handlers.last_status, "later");
}

TEST_F(ProxyFixture, TheWindowsOwnThreadIsServedDirectly) {
  std::atomic<bool> done{false};
  window.Post([&] {
    proxy.ShowStatus("from the window");  // a queued wait here would deadlock
    done = true;
  });
  proxy.ShowStatus("sync");  // waits until the queue has run
  EXPECT_TRUE(done);
  EXPECT_EQ(handlers.statuses, 2);
}

}  // namespace
