#include "app/log_file.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "records/job_records.h"
#include "records/reporting.h"

namespace vek {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

LogFile::~LogFile() { Close(); }

bool LogFile::Open(const std::string& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  std::lock_guard lock(mutex_);
  if (fd_ >= 0) ::close(fd_);
  path_ = error ? path : absolute.string();
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644);
  return fd_ >= 0;
}

bool LogFile::Reopen() {
  std::string path;
  {
    std::lock_guard lock(mutex_);
    path = path_;
  }
  if (path.empty()) return false;
  return Open(path);
}

void LogFile::Close() {
  std::lock_guard lock(mutex_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool LogFile::IsOpen() const {
  std::lock_guard lock(mutex_);
  return fd_ >= 0;
}

std::string LogFile::FormatEntry(std::string_view entry) {
  entry = entry.substr(0, entry.find('\0'));
  entry = entry.substr(0, kLogFileEntryMaxLength);
  // Callers sometimes end a text with "\r\n" themselves; the log ends every
  // entry with exactly one line end.
  while (!entry.empty() && (entry.back() == '\r' || entry.back() == '\n')) entry.remove_suffix(1);

  std::string line;
  line.reserve(entry.size() + 8);
  for (size_t i = 0; i < entry.size(); ++i) {
    const char c = entry[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < entry.size() && entry[i + 1] == '\n') ++i;
      line += kLineEnd;
    } else {
      line += c;
    }
  }
  line += kLineEnd;
  return line;
}

bool LogFile::Write(std::string_view entry) {
  const std::string line = FormatEntry(entry);
  std::lock_guard lock(mutex_);
  if (fd_ < 0) return false;
  return WriteAll(fd_, line);
}

bool LogFile::WriteToLastRun(std::string_view entry) {
  const std::string line = FormatEntry(entry);
  std::lock_guard lock(mutex_);
  if (fd_ >= 0) return WriteAll(fd_, line);
  if (path_.empty()) return false;
  // Never made again: a log removed since stays removed.
  const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, line);
  ::close(fd);
  return written;
}

LogFile& TheLogFile() {
  static LogFile log;
  return log;
}

std::string LogFilePath() { return CurrentDirectory() + "/" + kLogFileName; }

bool OpenLogFile() {
  SetLogSink([](std::string_view entry) { TheLogFile().Write(entry); });
  return TheLogFile().Open(LogFilePath());
}

bool ReopenLogFile() { return TheLogFile().Reopen(); }

bool PrepareRunLog() {
  static std::atomic<bool> first_run_started{false};
  if (!first_run_started.exchange(true)) return TheLogFile().IsOpen();
  return ReopenLogFile();
}

void CloseLogFile() { TheLogFile().Close(); }

bool WriteToLastRunLog(std::string_view entry) { return TheLogFile().WriteToLastRun(entry); }

}  // namespace vek
