#include "cli/cli_window.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "events/terminal_text.h"

namespace vekcli {

using vek::Session;

namespace {

// A status text without its own trailing line end.
std::string WithoutLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace

CliWindow::CliWindow(const CliOptions& options, std::string image_folder, JobEvents& events)
    : options_(options),
      events_(events),
      status_out_(events.on_standard_output() ? stderr : stdout),
      image_path_field_(std::move(image_folder)),
      restore_default_ticked_(options.restore_default),
      progress_on_terminal_(isatty(STDERR_FILENO) == 1) {}

void CliWindow::EndProgressLine() {
  if (!progress_line_open_) return;
  std::fputc('\n', stderr);
  progress_line_open_ = false;
}

void CliWindow::ShowProgress(uint32_t done, int32_t total) {
  const int percent = Session::ProgressPercent(done, total);
  events_.Progress(percent);
  if (!progress_on_terminal_ || total <= 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (done == 0) transfer_started_ = now;
  const double seconds = std::chrono::duration<double>(now - transfer_started_).count();
  const double rate = seconds > 0 ? done / seconds / 1024.0 : 0.0;
  constexpr int kWidth = 30;
  const int filled = std::min(kWidth, percent * kWidth / 100);
  std::fprintf(stderr, "\r[%.*s%*s] %3d%%  %u/%d bytes  %.0f KiB/s  %um%02us", filled,
               "##############################", kWidth - filled, "", percent, done, total, rate,
               static_cast<unsigned>(seconds) / 60, static_cast<unsigned>(seconds) % 60);
  std::fflush(stderr);
  progress_line_open_ = true;
}

void CliWindow::ShowStatus(const std::string& text) {
  EndProgressLine();
  const std::string line = WithoutLineEnd(text);
  std::fprintf(status_out_, "%s\n", vekevents::ControlsAsBlanks(line).c_str());
  std::fflush(status_out_);
  events_.Status(line);
}

void CliWindow::ShowDiagPort(uint32_t port) {
  Session::DebugTrace("Comport: COM" + std::to_string(port));
}

void CliWindow::MatchProduct(const std::string& identification) {
  products_ = Session::MatchProduct(identification);
  if (!products_.names.empty()) Session::DebugTrace("Product: " + products_.names.front());
}

void CliWindow::SetControls(vek::ControlState state) {
  if (state == vek::ControlState::kDownloadMode) {
    restore_default_ticked_ = false;
    restore_default_enabled_ = false;
  }
}

void CliWindow::ShowImei(const std::string& text) {
  Session::DebugTrace(text);
}

void CliWindow::ShowSwVersion(const std::string& text) {
  Session::DebugTrace(text);
}

void CliWindow::ShowFlash(const std::string& text) { Session::DebugTrace("FLASH: " + text); }

void CliWindow::DownloadAborted() { image_path_field_.clear(); }

void CliWindow::CheckRestoreDefault(bool checked) {
  // The operator's --restore-default is a tick made after the module was identified.
  restore_default_ticked_ = checked || options_.restore_default;
  Session::TickRestoreDefault(restore_default_ticked_);
}

void CliWindow::EnableRestoreDefault(bool enabled) {
  restore_default_enabled_ = enabled;
  if (!enabled) restore_default_ticked_ = false;
}

bool CliWindow::RestoreDefaultTicked() { return restore_default_enabled_ && restore_default_ticked_; }

int CliWindow::SelectedProductPosition() {
  // In a download mode the operator names the product; vek-cli takes --product.
  if (options_.product.empty()) return -1;
  return Session::ProductPosition(options_.product);
}

int CliWindow::ShowMessage(int kind, const std::string& text, const std::string& caption) {
  EndProgressLine();
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), vekevents::ControlsAsBlanks(text).c_str());
  events_.Message(caption, text);
  if (kind != 2) return 1;
  if (options_.erase_on_mismatch) return 1;
  if (isatty(STDIN_FILENO) != 1) return 0;  // nobody to ask: Cancel
  std::fprintf(stderr, "OK or Cancel? [o/C] ");
  std::string answer;
  if (!std::getline(std::cin, answer)) return 0;
  return !answer.empty() && (answer[0] == 'o' || answer[0] == 'O' || answer[0] == 'y' || answer[0] == 'Y') ? 1 : 0;
}

void CliWindow::JobFactsChanged(const vek::JobFacts& facts, vek::JobFactsChange change) {
  events_.Facts(facts, change);
}

void CliWindow::SetImagePathText(const std::string& path) {
  image_path_field_ = path;
  image_folder_ready_ = true;
}

void CliWindow::ClearDeviceControls() {
  products_ = {};
  image_path_field_.clear();
  image_folder_ready_ = false;
}

}  // namespace vekcli
