// The tests' window: it records every notification it receives, in order and with
// the job's stage at the time, answers the questions a job asks the window, and
// can hold the job's thread at a chosen notification (as behind a message box).
// It becomes the window of the process when made (a test may install another).
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "records/job_records.h"
#include "records/reporting.h"
#include "records/window_notifications.h"

namespace vektest {

// One thing the window was told.
struct Seen {
  // "status TEXT", "log TEXT" (from a test's log sink), "box KIND|CAPTION|TEXT",
  // "progress D/T", "controls N", "controls off", "controls on", "aborted", ...
  std::string what;
  int32_t stage;  // the job's stage when it happened
};

class RecordingWindow : public vek::WindowNotifications {
 public:
  RecordingWindow() { vek::SetWindowNotifications(this); }
  ~RecordingWindow() override {
    if (vek::CurrentWindow() == this) vek::SetWindowNotifications(nullptr);
  }

  // Answers
  int box_answer = 1;  // what an OK/Cancel box returns (an OK box always returns 1)
  std::string image_path_text;
  bool restore_default_ticked = false;
  int product_position = -1;

  void Record(std::string what) {
    std::unique_lock lock(mutex_);
    const bool hold = !hold_at_.empty() && what == hold_at_;
    seen_.push_back({std::move(what), vek::TheJob().stage.load()});
    if (!hold) return;
    // The job's thread waits here (as behind a message box) until the test lets it go.
    held_ = true;
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::seconds(10), [this] { return !held_; });
  }
  // The job's thread will stop at the event `what` until Release().
  void HoldAt(const std::string& what) {
    std::lock_guard lock(mutex_);
    hold_at_ = what;
  }
  bool WaitUntilHeld(int ms = 5000) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return held_; });
  }
  void Release() {
    std::lock_guard lock(mutex_);
    hold_at_.clear();
    held_ = false;
    changed_.notify_all();
  }

  std::vector<Seen> All() const {
    std::lock_guard lock(mutex_);
    return seen_;
  }
  std::vector<std::string> Events() const {
    std::vector<std::string> out;
    for (const Seen& s : All()) out.push_back(s.what);
    return out;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    seen_.clear();
  }
  size_t Count() const {
    std::lock_guard lock(mutex_);
    return seen_.size();
  }
  // The texts of one kind ("status", "log", "box", "flash"), in order, without the prefix.
  std::vector<std::string> Of(const std::string& kind) const {
    std::vector<std::string> out;
    const std::string prefix = kind + " ";
    for (const Seen& s : All())
      if (s.what.rfind(prefix, 0) == 0) out.push_back(s.what.substr(prefix.size()));
    return out;
  }
  std::vector<std::string> Statuses() const { return Of("status"); }
  std::vector<std::string> Logs() const { return Of("log"); }
  std::vector<std::string> Boxes() const { return Of("box"); }
  std::vector<std::string> Flashes() const { return Of("flash"); }
  std::vector<std::pair<uint32_t, int32_t>> Progress() const {
    std::vector<std::pair<uint32_t, int32_t>> out;
    for (const std::string& text : Of("progress")) {
      const size_t slash = text.find('/');
      out.emplace_back(static_cast<uint32_t>(std::stoul(text.substr(0, slash))), std::stoi(text.substr(slash + 1)));
    }
    return out;
  }
  bool Has(const std::string& what) const {
    const auto all = All();
    return std::any_of(all.begin(), all.end(), [&](const Seen& s) { return s.what == what; });
  }
  // The stage at the first event `what`; -1 when it never happened.
  int32_t StageAt(const std::string& what) const {
    for (const Seen& s : All())
      if (s.what == what) return s.stage;
    return -1;
  }
  // The stages the job went through, consecutive repeats folded.
  std::vector<int32_t> Stages() const {
    std::vector<int32_t> out;
    for (const Seen& s : All())
      if (out.empty() || out.back() != s.stage) out.push_back(s.stage);
    return out;
  }

  void ShowProgress(uint32_t done, int32_t total) override {
    Record("progress " + std::to_string(done) + "/" + std::to_string(total));
  }
  void ShowStatus(const std::string& text) override { Record("status " + text); }
  void ShowDiagPort(uint32_t port) override { Record("diag port " + std::to_string(port)); }
  void MatchProduct(const std::string& text) override { Record("match [" + text + "]"); }
  void SetControls(vek::ControlState state) override {
    Record("controls " + std::to_string(static_cast<int>(state)));
  }
  void ShowImei(const std::string& text) override { Record("imei [" + text + "]"); }
  void ShowSwVersion(const std::string& text) override { Record("sw version [" + text + "]"); }
  void ShowFlash(const std::string& text) override { Record("flash " + text); }
  void DownloadAborted() override { Record("aborted"); }
  void CheckRestoreDefault(bool checked) override {
    Record(checked ? "check restore default 1" : "check restore default 0");
  }
  void EnableRestoreDefault(bool enabled) override {
    Record(enabled ? "enable restore default 1" : "enable restore default 0");
  }
  int ShowMessage(int kind, const std::string& text, const std::string& caption) override {
    Record("box " + std::to_string(kind) + "|" + caption + "|" + text);
    return kind == 2 ? box_answer : 1;
  }
  std::string ImagePathText() override { return image_path_text; }
  bool RestoreDefaultTicked() override { return restore_default_ticked; }
  int SelectedProductPosition() override { return product_position; }
  void DisableJobControls() override { Record("controls off"); }
  void EnableJobControls(bool restore_default_enabled) override {
    Record(restore_default_enabled ? "controls on" : "controls on, restore default off");
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Seen> seen_;
  std::string hold_at_;
  bool held_ = false;
};

}  // namespace vektest
