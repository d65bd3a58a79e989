// Delivers the tasks' notifications to the window's thread with the agreed
// delivery: a sent notification waits until the window has handled it, a posted
// one does not. A front end supplies its handlers (run on its own thread) and
// a way to post work to that thread; the contract lives here, once.
//
// A task whose stop has been requested no longer waits for the window: its sent
// notifications are dropped, so the window's thread may stop a task and wait for
// it to end without a deadlock.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "records/window_notifications.h"

namespace vek {

class WindowProxy : public WindowNotifications, public JobFactsObserver {
 public:
  using Post = std::function<void(std::function<void()>)>;
  using OnWindowThread = std::function<bool()>;

  WindowProxy(WindowNotifications& handlers, Post post, OnWindowThread on_window_thread)
      : handlers_(handlers), post_(std::move(post)), on_window_thread_(std::move(on_window_thread)) {}

  void ShowProgress(uint32_t done, int32_t total) override;
  void ShowStatus(const std::string& text) override;
  void ShowDiagPort(uint32_t port) override;
  void MatchProduct(const std::string& identification) override;
  void SetControls(ControlState state) override;
  void ShowImei(const std::string& text) override;
  void ShowSwVersion(const std::string& text) override;
  void ShowFlash(const std::string& text) override;
  void DownloadAborted() override;
  void CheckRestoreDefault(bool checked) override;
  void EnableRestoreDefault(bool enabled) override;
  int ShowMessage(int kind, const std::string& text, const std::string& caption) override;
  std::string ImagePathText() override;
  bool RestoreDefaultTicked() override;
  int SelectedProductPosition() override;
  void DisableJobControls() override;
  void EnableJobControls(bool restore_default_enabled) override;
  void SetImagePathText(const std::string& path) override;
  void ClearDeviceControls() override;
  void JobFactsChanged(const JobFacts& facts, JobFactsChange change) override;

 private:
  // Runs `work` on the window's thread and waits for it (unless stopped first).
  void Send(std::function<void()> work);
  void PostOnly(std::function<void()> work);

  WindowNotifications& handlers_;
  Post post_;
  OnWindowThread on_window_thread_;
  // The bar shows whole percents: a step that moves none is not sent (the NV
  // items alone make some sixteen thousand steps a job, each a round trip
  // between two threads).
  std::mutex progress_mutex_;
  int32_t shown_total_ = -1;
  int shown_percent_ = -1;
};

}  // namespace vek
