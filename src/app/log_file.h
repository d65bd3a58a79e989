// The log file "vek.log": one entry per line, each ended by CR LF, no time
// stamps or prefixes. It is opened (emptied) at start-up, opened afresh for
// every later run, and closed at the end of each run; while it is closed,
// entries are dropped, but for a run's own late word (WriteToLastRun).
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

namespace vek {

inline constexpr char kLogFileName[] = "vek.log";
inline constexpr size_t kLogFileEntryMaxLength = 197;

class LogFile {
 public:
  LogFile() = default;
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Creates the file at `path` or empties it, and logs into it from now on.
  // A file already open is closed first. False when it cannot be opened:
  // logging is then off until the next successful open.
  bool Open(const std::string& path);
  // Opens the file of the last Open again, emptied: a fresh log for a new run.
  bool Reopen();
  // Closes the file; entries written from now on are dropped.
  void Close();
  bool IsOpen() const;

  // Appends one entry: cut at its first NUL and at 197 characters, its own
  // trailing line end dropped, line breaks inside it made CR LF, then ended by
  // CR LF. Each entry reaches the file in one write, whole, whichever thread
  // writes. False when the file is closed or the write failed.
  bool Write(std::string_view entry);
  // As Write; while the file is closed, the entry is appended to the file of the
  // last Open all the same: a line that belongs to the run just ended (the
  // station record's word, which may come after the run) is not lost with it.
  bool WriteToLastRun(std::string_view entry);

  // The bytes one entry becomes in the file.
  static std::string FormatEntry(std::string_view entry);

 private:
  mutable std::mutex mutex_;
  int fd_ = -1;
  std::string path_;
};

// The process's log file.
LogFile& TheLogFile();

// The path of "vek.log" in the current working directory.
std::string LogFilePath();

// Makes the process's log file the destination of every `write_log` entry and
// opens "vek.log" in the working directory (at start-up).
bool OpenLogFile();
// Starts a fresh, empty "vek.log" (second and later runs).
bool ReopenLogFile();
// "start" was pressed: the first run goes on writing into the file opened at
// start-up, after the monitoring lines already in it; every later run starts a
// fresh, empty file. True when the run has an open log.
bool PrepareRunLog();
// Closes the log at the end of a run or when the cable is pulled.
void CloseLogFile();
// An entry for the run now going or just ended (LogFile::WriteToLastRun).
bool WriteToLastRunLog(std::string_view entry);

}  // namespace vek
