#include "store/station_rows.h"

#include <ctime>

namespace vek {

std::string UtcText(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

bool WriteJobRow(StationDb& db, const StationJobRow& row, std::string& reason) {
  if (!db.Exec("BEGIN IMMEDIATE", reason)) return false;
  StationStatement job(db,
                       "INSERT OR REPLACE INTO jobs (id, started_utc, ended_utc, station, program, vek_version, "
                       "usb_path, port, imei, meid, product, version_before, version_after, image_set_sha256, "
                       "nv_records, nv_refused, result, failed_step, text, exit_status, duration_s, folder, log, pid, "
                       "boot_id) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, "
                       "?18, ?19, ?20, ?21, ?22, ?23, ?24, ?25)");
  job.Bind(1, row.id).Bind(2, row.started_utc).Bind(3, row.ended_utc).Bind(4, row.station).Bind(5, row.program);
  job.Bind(6, row.vek_version).Bind(7, row.usb_path).Bind(8, row.port).Bind(9, row.imei).Bind(10, row.meid);
  job.Bind(11, row.product).Bind(12, row.version_before).Bind(13, row.version_after).Bind(14, row.image_set_sha256);
  job.BindOptional(15, row.nv_records).BindOptional(16, row.nv_refused).Bind(17, row.result);
  job.Bind(18, row.failed_step).Bind(19, row.text).BindOptional(20, row.exit_status).Bind(21, row.duration_s);
  job.Bind(22, row.folder).Bind(23, row.log).Bind(24, row.pid).Bind(25, row.boot_id);
  bool written = job.Done();
  if (written) {
    StationStatement forget(db, "DELETE FROM image_files WHERE job_id = ?1");
    written = forget.Bind(1, row.id).Done();
  }
  for (size_t i = 0; written && i < row.files.size(); ++i) {
    const ImageFileFacts& file = row.files[i];
    StationStatement image(db,
                           "INSERT INTO image_files (job_id, position, name, size, sha256) VALUES (?1, ?2, ?3, ?4, ?5)");
    image.Bind(1, row.id).Bind(2, static_cast<int64_t>(i)).Bind(3, file.name);
    image.Bind(4, static_cast<int64_t>(file.size)).Bind(5, file.sha256);
    written = image.Done();
  }
  if (!written) {
    reason = db.Error();
    std::string ignored;
    db.Exec("ROLLBACK", ignored);
    return false;
  }
  return db.Exec("COMMIT", reason);
}

bool WriteNvBackup(StationDb& db, const StationNvBackup& backup, std::string& reason) {
  if (!db.Exec("BEGIN IMMEDIATE", reason)) return false;
  StationStatement store(db,
                         "INSERT OR IGNORE INTO nv_backups (sha256, module, job_id, taken_utc, records, "
                         "first_of_module, bytes) VALUES (?1, ?2, ?3, ?4, ?5, NOT EXISTS (SELECT 1 FROM nv_backups "
                         "WHERE module = ?2), ?6)");
  store.Bind(1, backup.sha256).Bind(2, backup.module).Bind(3, backup.job_id).Bind(4, backup.taken_utc);
  store.Bind(5, backup.records).BindBlob(6, backup.bytes);
  bool written = store.Done();
  if (written) {
    StationStatement prune(db,
                           "DELETE FROM nv_backups WHERE module = ?1 AND first_of_module = 0 AND sha256 NOT IN "
                           "(SELECT sha256 FROM nv_backups WHERE module = ?1 AND first_of_module = 0 "
                           "ORDER BY taken_utc DESC, rowid DESC LIMIT ?2)");
    written = prune.Bind(1, backup.module).Bind(2, static_cast<int64_t>(kNvBackupsKeptPerModule)).Done();
  }
  if (!written) {
    reason = db.Error();
    std::string ignored;
    db.Exec("ROLLBACK", ignored);
    return false;
  }
  return db.Exec("COMMIT", reason);
}

}  // namespace vek
