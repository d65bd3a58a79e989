#include "upgrade/window_proxy.h"

#include <condition_variable>
#include <memory>
#include <mutex>

#include "records/reporting.h"
#include "records/stop_wait.h"

namespace vek {
namespace {

struct PendingCall {
  std::mutex mutex;
  std::condition_variable_any done_signal;
  bool done = false;
  bool abandoned = false;  // the sender stopped waiting: do not run it
};

}  // namespace

void WindowProxy::Send(std::function<void()> work) {
  if (on_window_thread_()) {
    work();  // a blocking call to our own thread would never return
    return;
  }
  if (StopRequested()) return;
  auto call = std::make_shared<PendingCall>();
  post_([call, work = std::move(work)] {
    {
      std::lock_guard lock(call->mutex);
      if (call->abandoned) return;
    }
    work();
    std::lock_guard lock(call->mutex);
    call->done = true;
    call->done_signal.notify_all();
  });
  std::unique_lock lock(call->mutex);
  if (!call->done_signal.wait(lock, CurrentStopToken(), [&] { return call->done; })) call->abandoned = true;
}

void WindowProxy::PostOnly(std::function<void()> work) {
  if (StopRequested()) return;
  post_(std::move(work));
}

void WindowProxy::ShowProgress(uint32_t done, int32_t total) {
  {
    const int percent = ProgressPercent(done, total);
    std::lock_guard lock(progress_mutex_);
    if (total == shown_total_ && percent == shown_percent_) return;
    shown_total_ = total;
    shown_percent_ = percent;
  }
  Send([this, done, total] { handlers_.ShowProgress(done, total); });
}
void WindowProxy::JobFactsChanged(const JobFacts& facts, JobFactsChange change) {
  Send([this, facts, change] { handlers_.JobFactsChanged(facts, change); });
}
void WindowProxy::ShowStatus(const std::string& text) {
  Send([this, text] { handlers_.ShowStatus(text); });
}
void WindowProxy::ShowDiagPort(uint32_t port) {
  Send([this, port] { handlers_.ShowDiagPort(port); });
}
void WindowProxy::MatchProduct(const std::string& identification) {
  Send([this, identification] { handlers_.MatchProduct(identification); });
}
void WindowProxy::SetControls(ControlState state) {
  PostOnly([this, state] { handlers_.SetControls(state); });
}
void WindowProxy::ShowImei(const std::string& text) {
  Send([this, text] { handlers_.ShowImei(text); });
}
void WindowProxy::ShowSwVersion(const std::string& text) {
  Send([this, text] { handlers_.ShowSwVersion(text); });
}
void WindowProxy::ShowFlash(const std::string& text) {
  Send([this, text] { handlers_.ShowFlash(text); });
}
void WindowProxy::DownloadAborted() {
  Send([this] { handlers_.DownloadAborted(); });
}
void WindowProxy::CheckRestoreDefault(bool checked) {
  Send([this, checked] { handlers_.CheckRestoreDefault(checked); });
}
void WindowProxy::EnableRestoreDefault(bool enabled) {
  Send([this, enabled] { handlers_.EnableRestoreDefault(enabled); });
}
int WindowProxy::ShowMessage(int kind, const std::string& text, const std::string& caption) {
  auto answer = std::make_shared<int>(0);
  Send([this, answer, kind, text, caption] { *answer = handlers_.ShowMessage(kind, text, caption); });
  return *answer;
}
std::string WindowProxy::ImagePathText() {
  auto text = std::make_shared<std::string>();
  Send([this, text] { *text = handlers_.ImagePathText(); });
  return *text;
}
bool WindowProxy::RestoreDefaultTicked() {
  auto ticked = std::make_shared<bool>(false);
  Send([this, ticked] { *ticked = handlers_.RestoreDefaultTicked(); });
  return *ticked;
}
int WindowProxy::SelectedProductPosition() {
  auto position = std::make_shared<int>(-1);
  Send([this, position] { *position = handlers_.SelectedProductPosition(); });
  return *position;
}
void WindowProxy::DisableJobControls() {
  Send([this] { handlers_.DisableJobControls(); });
}
void WindowProxy::EnableJobControls(bool restore_default_enabled) {
  Send([this, restore_default_enabled] { handlers_.EnableJobControls(restore_default_enabled); });
}
void WindowProxy::SetImagePathText(const std::string& path) {
  Send([this, path] { handlers_.SetImagePathText(path); });
}
void WindowProxy::ClearDeviceControls() {
  {
    std::lock_guard lock(progress_mutex_);
    shown_total_ = -1;  // the bar goes back to 0: the next step is shown whatever it is
  }
  Send([this] { handlers_.ClearDeviceControls(); });
}

}  // namespace vek
