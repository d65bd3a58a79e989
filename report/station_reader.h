// What vek-report reads from a station's database: jobs by module, image set,
// time and result; a module's NV backups; counts for the summary. Reading
// only: the database is opened read-only and never changed.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "records/station_db.h"

namespace vekreport {

// A row of `jobs` as stored, with `result` as vek-report shows it: a row still
// "running" whose process is gone (this station, another boot or no such
// process) reads "interrupted".
struct Cell {
  std::string name;
  std::string text;  // "" for NULL
  bool null = false, number = false;
};

struct JobRow {
  std::vector<Cell> columns;  // in table order
  std::string Column(const std::string& name) const;
};

struct JobFilter {
  std::string module;     // IMEI or MEID
  std::string image_set;  // its SHA-256
  std::string since;      // "2026-12-01" or a whole UTC time
  bool failed = false;    // failed, aborted and interrupted only
};

struct NvBackupRow {
  std::string sha256, module, job_id, taken_utc;
  int64_t records = 0;
  bool first_of_module = false;
  int64_t size = 0;
};

struct Summary {
  std::map<std::string, int64_t> by_result, failed_by_step, by_product, by_station;
};

class StationReader {
 public:
  explicit StationReader(vek::StationDb& db) : db_(db) {}

  std::vector<JobRow> Jobs(const JobFilter& filter);  // newest first
  std::vector<NvBackupRow> NvBackups(const std::string& module);  // newest first
  // The bytes of one backup of `module`: the first taken, the one with `sha256`,
  // or else the newest; nothing when there is none.
  std::optional<std::vector<uint8_t>> NvBytes(const std::string& module, bool first, const std::string& sha256);
  Summary Summarise(const std::string& since);

 private:
  vek::StationDb& db_;
};

// "interrupted" for a row left running by a process that is gone.
std::string ShownResult(const std::string& result, const std::string& station, const std::string& pid,
                        const std::string& boot_id);

}  // namespace vekreport
