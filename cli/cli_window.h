// vek-cli's window: the handlers of the engine's notifications, run on the main
// thread. Status texts go to standard output, one line each (to standard error
// when the event stream has standard output); message boxes, progress and
// everything else to standard error. Every notification also feeds the event stream.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/job_events.h"
#include "device/session.h"
#include "records/window_notifications.h"

namespace vekcli {

class CliWindow : public vek::WindowNotifications {
 public:
  CliWindow(const CliOptions& options, std::string image_folder, JobEvents& events);

  void ShowProgress(uint32_t done, int32_t total) override;
  void ShowStatus(const std::string& text) override;
  void ShowDiagPort(uint32_t port) override;
  void MatchProduct(const std::string& identification) override;
  void SetControls(vek::ControlState state) override;
  void ShowImei(const std::string& text) override;
  void ShowSwVersion(const std::string& text) override;
  void ShowFlash(const std::string& text) override;
  void DownloadAborted() override;
  void CheckRestoreDefault(bool checked) override;
  void EnableRestoreDefault(bool enabled) override;
  int ShowMessage(int kind, const std::string& text, const std::string& caption) override;
  std::string ImagePathText() override { return image_path_field_; }
  bool RestoreDefaultTicked() override;
  int SelectedProductPosition() override;
  void SetImagePathText(const std::string& path) override;
  void ClearDeviceControls() override;
  void JobFactsChanged(const vek::JobFacts& facts, vek::JobFactsChange change) override;

  // The connect task found the image folder complete.
  bool image_folder_ready() const { return image_folder_ready_; }

 private:
  void EndProgressLine();

  const CliOptions& options_;
  JobEvents& events_;
  FILE* status_out_;
  std::string image_path_field_;
  bool image_folder_ready_ = false;
  bool restore_default_ticked_ = false;
  bool restore_default_enabled_ = true;
  vek::ProductList products_;
  bool progress_on_terminal_;
  bool progress_line_open_ = false;
  std::chrono::steady_clock::time_point transfer_started_;
};

}  // namespace vekcli
