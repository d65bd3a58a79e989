// What vek-report reads from a station's database: jobs by module, image set
// and time; a module's NV backups. Reading only: the database is opened
// read-only and never changed.
#pragma once

#include "store/station_db.h"
#include "report/record_reader.h"

namespace vekreport {

class StationReader : public RecordReader {
 public:
  explicit StationReader(vek::StationDb& db) : db_(db) {}

  std::vector<NvBackupRow> NvBackups(const std::string& module) override;
  std::optional<std::vector<uint8_t>> NvBytes(const std::string& module, bool first,
                                              const std::string& sha256) override;
  std::vector<Cells> Ask(const std::string& sql, const std::vector<std::string>& values) override;
  std::vector<std::pair<std::string, double>> MedianSeconds(const std::string& from, const std::string& to) override;
  const char* RunningProcess() const override {
    return "CASE WHEN result = 'running' THEN station || ' ' || coalesce(CAST(pid AS TEXT), '') || ' ' || coalesce(boot_id, '') END";
  }

 protected:
  std::vector<JobRow> StoredJobs(const JobFilter& filter) override;

 private:
  void Check(const vek::StationStatement& query);
  vek::StationDb& db_;
};

}  // namespace vekreport
