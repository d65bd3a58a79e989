// The rows a job leaves in the station's database: its row in `jobs` with its
// image files, and each NV backup it took.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "records/job_facts.h"
#include "store/station_db.h"

namespace vek {

struct StationJobRow {
  std::string id;  // a UUID made at the station
  std::string started_utc, ended_utc;  // "2026-12-08T16:30:01Z"; no end while running
  std::string station, program, vek_version;
  std::string usb_path, port, imei, meid, product, version_before, version_after, image_set_sha256;
  std::optional<int64_t> nv_records, nv_refused;
  std::string result;  // running, succeeded, failed, aborted, no_job
  std::string failed_step, text;
  std::optional<int64_t> exit_status;
  double duration_s = 0;
  std::string folder, log;
  std::string nv_backup;  // "stored", "pending" (kept beside the job until stored) or none taken
  std::string attention;  // what the operator must look at ("version_unconfirmed") or nothing
  int64_t pid = 0;      // the process that writes it, with
  std::string boot_id;  // the boot it runs in: a row left running is told from one that runs
  std::vector<ImageFileFacts> files;
};

// The values of `table`'s rows that `where` picks, `value` bound to ?1.
std::vector<RecordRow> StationRows(StationDb& db, const RecordTable& table, const std::string& where,
                                   const std::string& value);

// The job's row and its image files, made or replaced in one transaction.
bool WriteJobRow(StationDb& db, const StationJobRow& row, std::string& reason);
// The job's row `id` with its image files; nothing when there is none.
std::optional<StationJobRow> ReadJobRow(StationDb& db, const std::string& id);

struct StationNvBackup {
  std::string sha256;  // of `bytes`
  std::string module;  // its IMEI or MEID
  std::string job_id, taken_utc;
  int64_t records = 0;
  std::vector<uint8_t> bytes;  // the backup file, whole
};

// Stores the backup once per content, linked to its module (at the oldest time
// it was taken from it); then keeps the module's first backup and the ten newest
// of the others, and lets the older ones go.
bool WriteNvBackup(StationDb& db, const StationNvBackup& backup, std::string& reason);
// The backups job `job_id` took, bytes and all (each linked to its module). One
// whose bytes no longer match its SHA-256 is left out, and `refused` says why.
std::vector<StationNvBackup> JobNvBackups(StationDb& db, const std::string& job_id, std::string* refused = nullptr);

inline constexpr int kNvBackupsKeptPerModule = 10;

// "2026-12-08T16:30:01Z"
std::string UtcText(std::chrono::system_clock::time_point when);

}  // namespace vek
