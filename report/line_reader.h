// What vek-report reads from the line's database: the jobs and NV backups every
// station of the line shipped, as the same rows the station's database gives.
// Reading only; every value from the command line goes as a query parameter.
#pragma once

#include <memory>

#include "store/line_db.h"
#include "report/record_reader.h"

namespace vekreport {

// The line database at `url`, with the schema this program reads; nothing and
// `reason` ("<where it is>: <why>", never the URL itself) when it cannot be read.
std::unique_ptr<vek::LineDb> OpenLineForReading(const std::string& url, std::string& reason);

class LineReader : public RecordReader {
 public:
  explicit LineReader(vek::LineDb& line) : line_(line) {}

  // The line keeps every backup shipped; the module's first is the earliest
  // taken anywhere on the line.
  std::vector<NvBackupRow> NvBackups(const std::string& module) override;
  std::optional<std::vector<uint8_t>> NvBytes(const std::string& module, bool first,
                                              const std::string& sha256) override;
  std::vector<Cells> Ask(const std::string& sql, const std::vector<std::string>& values) override;
  std::vector<std::pair<std::string, double>> MedianSeconds(const std::string& from, const std::string& to) override;
  const char* RunningProcess() const override {
    return "CASE WHEN result = 'running' THEN station || '  ' END";
  }

 protected:
  // The line's jobs have the station's columns in its order, without the
  // process (pid, boot_id) a station keeps to judge its running rows: a station
  // ships a job once it has ended, so a row of this station still running on
  // the line reads "interrupted".
  std::vector<JobRow> StoredJobs(const JobFilter& filter) override;

 private:
  // Where the line keeps which module each backup came from (its schema's version's way).
  std::string Links();
  vek::LineDb& line_;
};

}  // namespace vekreport
