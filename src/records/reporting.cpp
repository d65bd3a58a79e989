#include "records/reporting.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>

#include "records/protocol_trace.h"
#include "records/stop_wait.h"

namespace vek {
namespace {

std::atomic<WindowNotifications*> window{nullptr};
std::mutex sink_mutex;
std::function<void(std::string_view)> debug_sink;
std::function<void(std::string_view)> log_sink;

void Emit(const std::function<void(std::string_view)>& sink, std::string_view text) {
  std::lock_guard lock(sink_mutex);
  if (sink) sink(text);
}

// A task that has been stopped makes no further callbacks.
__attribute__((format(printf, 1, 2))) int StandardShowStatus(const char* format, ...) {
  if (StopRequested()) return 0;
  va_list args;
  va_start(args, format);
  std::string text = FormatBounded(kStatusTextCapacity, format, args);
  va_end(args);
  Emit(debug_sink, text + "\r\n");
  TraceStatus(text);
  if (WindowNotifications* w = window.load()) w->ShowStatus(text);
  return 0;
}

int StandardShowMessage(int kind, const char* text, const char* caption) {
  if (StopRequested()) return 0;
  if (kind != kMessageOk && kind != kMessageOkCancel) return 0;
  TraceMessageBox(caption ? caption : "", text ? text : "");
  WindowNotifications* w = window.load();
  if (w == nullptr) return 0;
  const int answer = w->ShowMessage(kind, text ? text : "", caption ? caption : "");
  if (kind == kMessageOkCancel) return answer == 1 ? 1 : 0;
  return answer;
}

int StandardShowProgress(uint32_t done, int32_t total) {
  if (StopRequested()) return 0;
  if (WindowNotifications* w = window.load()) w->ShowProgress(done, total);
  return 0;
}

__attribute__((format(printf, 1, 2))) int StandardWriteLog(const char* format, ...) {
  if (StopRequested()) return 0;
  va_list args;
  va_start(args, format);
  std::string entry = FormatBounded(kLogEntryCapacity, format, args);
  va_end(args);
  if (entry.size() > kLogEntryMaxLength) entry.resize(kLogEntryMaxLength);
  Emit(log_sink, entry);
  return 0;
}

}  // namespace

void InstallStandardCallbacks(UpgradeJob& job) {
  job.show_status = StandardShowStatus;
  job.show_message = StandardShowMessage;
  job.show_progress = StandardShowProgress;
  job.write_log = StandardWriteLog;
}

void SetWindowNotifications(WindowNotifications* w) { window.store(w); }
WindowNotifications* CurrentWindow() { return window.load(); }

void SetDebugOutput(std::function<void(std::string_view)> sink) {
  std::lock_guard lock(sink_mutex);
  debug_sink = std::move(sink);
}

void SetLogSink(std::function<void(std::string_view)> sink) {
  std::lock_guard lock(sink_mutex);
  log_sink = std::move(sink);
}

std::string FormatBounded(size_t capacity, const char* format, va_list args) {
  if (format == nullptr || capacity == 0) return {};
  std::string buffer(capacity, '\0');
  const int n = std::vsnprintf(buffer.data(), capacity, format, args);
  if (n < 0) return {};
  buffer.resize(std::min(static_cast<size_t>(n), capacity - 1));
  return buffer;
}

void DebugTrace(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatBounded(kStatusTextCapacity, format, args);
  va_end(args);
  Emit(debug_sink, text);
}

int ProgressPercent(uint32_t done, int32_t total) {
  if (total <= 0) return 0;
  return static_cast<int>(static_cast<double>(done) * 100.0 / static_cast<double>(total));
}

}  // namespace vek
