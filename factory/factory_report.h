// vek-factory's report: one JSON line per finished job, appended. Each line
// goes out in one write and is synced; a line cut short by a crash or a power
// loss is removed when the file is opened next, so the file only ever holds
// whole lines.
#pragma once

#include <memory>
#include <string>

namespace vekfactory {

class ReportFile {
 public:
  // Opens (creates) `path` for appending. Nothing, and why in `error`, when it
  // cannot be written. `repaired` is set when a cut-off last line was removed.
  static std::unique_ptr<ReportFile> Open(const std::string& path, std::string& error, bool& repaired);
  ~ReportFile();
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;

  // Appends `line` (without its line end). False when it could not be written whole.
  bool Append(const std::string& line);

 private:
  explicit ReportFile(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace vekfactory
