// The standard reporting callbacks: they format the text into its fixed buffer,
// copy status texts to the debug output and hand everything to the window
// through WindowNotifications; log entries go to the log sink.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "records/job_records.h"
#include "records/window_notifications.h"

namespace vek {

inline constexpr size_t kStatusTextCapacity = 300;  // at most 299 characters
inline constexpr size_t kLogEntryCapacity = 200;    // at most 197 characters before the line end
inline constexpr size_t kLogEntryMaxLength = 197;

// Installs the four standard callbacks into the job.
void InstallStandardCallbacks(UpgradeJob& job);

// The window that receives notifications (none: nothing is shown, boxes answer 0).
void SetWindowNotifications(WindowNotifications* window);
WindowNotifications* CurrentWindow();

// Where status copies and debug traces go (none: nowhere).
void SetDebugOutput(std::function<void(std::string_view)> sink);
// Where log entries go (none: nowhere, as when no log file is open).
void SetLogSink(std::function<void(std::string_view)> sink);

// printf-style formatting into a buffer of `capacity` bytes (at most capacity - 1 characters).
std::string FormatBounded(size_t capacity, const char* format, va_list args);

// A debug trace: formatted, then written to the debug output.
void DebugTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// done * 100 / total in floating point, truncated; 0 for a total that is not positive.
int ProgressPercent(uint32_t done, int32_t total);

}  // namespace vek
