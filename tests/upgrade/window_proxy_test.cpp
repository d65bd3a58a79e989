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
  void ShowProgress(uint32_t done, int32_t total) override { progress.emplace_back(done, total); }
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
  std::vector<std::pair<uint32_t, int32_t>> progress;  // window thread only; read after a sent call
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

// The bar shows whole percents: only steps that move it reach the window, and
// the step that ends at 100 % always does.
TEST_F(ProxyFixture, ProgressReachesTheWindowOncePerPercent) {
  for (uint32_t done = 0; done <= 7925; ++done) proxy.ShowProgress(done, 7925);
  proxy.ShowProgress(0, 1);  // another total: shown although its percent is the same as before
  proxy.ShowStatus("sync");
  ASSERT_EQ(handlers.progress.size(), 102u);
  EXPECT_EQ(handlers.progress[0], std::make_pair(0u, 7925));
  EXPECT_EQ(handlers.progress[100], std::make_pair(7925u, 7925));
  EXPECT_EQ(handlers.progress[101], std::make_pair(0u, 1));
  proxy.ClearDeviceControls();  // the bar back at 0: the same step is shown again
  proxy.ShowProgress(0, 1);
  proxy.ShowStatus("sync");
  EXPECT_EQ(handlers.progress.size(), 103u);
}

}  // namespace
