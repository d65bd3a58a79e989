// A window that records the notifications it receives, in order.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "records/reporting.h"
#include "records/window_notifications.h"

namespace vektest {

class RecordingWindow : public vek::WindowNotifications {
 public:
  RecordingWindow() { vek::SetWindowNotifications(this); }
  ~RecordingWindow() override { vek::SetWindowNotifications(nullptr); }

  std::vector<std::string> Events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

  void ShowProgress(uint32_t done, int32_t total) override { Add("progress " + std::to_string(done) + "/" + std::to_string(total)); }
  void ShowStatus(const std::string& text) override { Add("status " + text); }
  void ShowDiagPort(uint32_t port) override { Add("diag port " + std::to_string(port)); }
  void MatchProduct(const std::string& text) override { Add("match [" + text + "]"); }
  void SetControls(vek::ControlState state) override { Add("controls " + std::to_string(static_cast<int>(state))); }
  void ShowImei(const std::string& text) override { Add("imei [" + text + "]"); }
  void ShowSwVersion(const std::string& text) override { Add("sw version [" + text + "]"); }
  void ShowFlash(const std::string& text) override { Add("flash [" + text + "]"); }
  void DownloadAborted() override { Add("aborted"); }
  void CheckRestoreDefault(bool checked) override { Add(checked ? "check restore default 1" : "check restore default 0"); }
  void EnableRestoreDefault(bool enabled) override { Add(enabled ? "enable restore default 1" : "enable restore default 0"); }
  int ShowMessage(int kind, const std::string& text, const std::string& caption) override {
    Add("message " + text);
    return 1;
  }

 private:
  void Add(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};

}  // namespace vektest
