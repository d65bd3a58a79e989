#include "store/station_rows.h"

#include <ctime>

#include "store/nv_backup_proof.h"
#include "store/record_values.h"
#include "store/valid_utf8.h"

namespace vek {

std::string UtcText(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

namespace {

// One row of `table` with `verb` (INSERT, INSERT OR REPLACE ...), bound by its
// columns in the list's order; `reason` set when it fails.
bool InsertRow(StationDb& db, const std::string& verb, const RecordTable& table, const RecordRow& values,
               std::string& reason) {
  StationStatement insert(db, InsertText(verb, table, RecordDb::kStation).c_str());
  int position = 0;
  for (const RecordColumn& column : ColumnsIn(table, RecordDb::kStation)) {
    const auto value = values.find(column.name);
    if (value == values.end()) {
      reason = std::string("no value for ") + table.name + "." + column.name;
      return false;
    }
    // A module's text may hold any byte: what reaches a database is valid UTF-8.
    if (const auto* text = std::get_if<std::string>(&value->second)) insert.Bind(++position, ValidUtf8(*text));
    else insert.BindValue(++position, value->second);
  }
  if (insert.Done()) return true;
  reason = db.Error();
  return false;
}

bool Rollback(StationDb& db) {
  std::string ignored;
  db.Exec("ROLLBACK", ignored);
  return false;
}

}  // namespace

std::vector<RecordRow> StationRows(StationDb& db, const RecordTable& table, const std::string& where,
                                   const std::string& value) {
  const std::string sql = "SELECT " + ColumnNames(table, RecordDb::kStation) + " FROM " + table.name + " " + where;
  StationStatement query(db, sql.c_str());
  query.Bind(1, value);
  std::vector<RecordRow> rows;
  while (query.Step()) rows.push_back(query.Row());
  return rows;
}

std::optional<StationJobRow> ReadJobRow(StationDb& db, const std::string& id) {
  const std::vector<RecordRow> job = StationRows(db, JobsTable(), "WHERE id = ?1", id);
  if (job.empty()) return std::nullopt;
  StationJobRow row = JobRowOf(job[0]);
  for (const RecordRow& file : StationRows(db, ImageFilesTable(), "WHERE job_id = ?1 ORDER BY position", id))
    row.files.push_back(ImageFileOf(file));
  return row;
}

bool WriteJobRow(StationDb& db, const StationJobRow& row, std::string& reason) {
  if (!db.Exec("BEGIN IMMEDIATE", reason)) return false;
  if (!InsertRow(db, "INSERT OR REPLACE", JobsTable(), JobValues(row), reason)) return Rollback(db);
  StationStatement forget(db, "DELETE FROM image_files WHERE job_id = ?1");
  if (!forget.Bind(1, row.id).Done()) {
    reason = db.Error();
    return Rollback(db);
  }
  for (size_t i = 0; i < row.files.size(); ++i)
    if (!InsertRow(db, "INSERT", ImageFilesTable(), ImageFileValues(row.id, i, row.files[i]), reason))
      return Rollback(db);
  return db.Exec("COMMIT", reason);
}

namespace {

// The module's link to the bytes, kept at the oldest taking: backups that reach
// the database late (kept beside their job a while) still come first.
bool LinkBackup(StationDb& db, const StationNvBackup& backup, std::string& reason) {
  StationStatement link(db,
                        "INSERT INTO nv_backup_modules (sha256, module, job_id, taken_utc) VALUES (?1, ?2, ?3, ?4) "
                        "ON CONFLICT (sha256, module) DO UPDATE SET job_id = excluded.job_id, "
                        "taken_utc = excluded.taken_utc WHERE excluded.taken_utc < nv_backup_modules.taken_utc");
  if (link.Bind(1, backup.sha256).Bind(2, backup.module).Bind(3, backup.job_id).Bind(4, backup.taken_utc).Done())
    return true;
  reason = db.Error();
  return false;
}

// Keeps the module's first backup and the newest of the others; bytes no module
// is linked to any more go.
bool PruneBackups(StationDb& db, const std::string& module, std::string& reason) {
  std::vector<std::string> dropped;
  {
    StationStatement old(db,
                         "WITH first AS (SELECT rowid AS kept FROM nv_backup_modules WHERE module = ?1 "
                         "ORDER BY taken_utc, rowid LIMIT 1), "
                         "others AS (SELECT rowid AS kept FROM nv_backup_modules WHERE module = ?1 AND rowid NOT IN "
                         "(SELECT kept FROM first) ORDER BY taken_utc DESC, rowid DESC LIMIT ?2) "
                         "SELECT sha256 FROM nv_backup_modules WHERE module = ?1 AND rowid NOT IN (SELECT kept FROM "
                         "first) AND rowid NOT IN (SELECT kept FROM others)");
    old.Bind(1, module).Bind(2, static_cast<int64_t>(kNvBackupsKeptPerModule));
    while (old.Step()) dropped.push_back(old.Text(0));
    if (old.Failed()) {
      reason = db.Error();
      return false;
    }
  }
  for (const std::string& sha256 : dropped) {
    StationStatement unlink(db, "DELETE FROM nv_backup_modules WHERE sha256 = ?1 AND module = ?2");
    StationStatement orphan(db,
                            "DELETE FROM nv_backups WHERE sha256 = ?1 AND NOT EXISTS "
                            "(SELECT 1 FROM nv_backup_modules WHERE sha256 = ?1)");
    if (!unlink.Bind(1, sha256).Bind(2, module).Done() || !orphan.Bind(1, sha256).Done()) {
      reason = db.Error();
      return false;
    }
  }
  // What an older VEK reads as the module's first: the oldest of its links.
  StationStatement first(db,
                         "UPDATE nv_backups SET first_of_module = (sha256 IS (SELECT sha256 FROM nv_backup_modules "
                         "WHERE module = ?1 ORDER BY taken_utc, rowid LIMIT 1)) WHERE module = ?1");
  if (first.Bind(1, module).Done()) return true;
  reason = db.Error();
  return false;
}

}  // namespace

bool WriteNvBackup(StationDb& db, const StationNvBackup& taken, std::string& reason) {
  // The module's ID as the backup's row names it (valid UTF-8), in its links too.
  StationNvBackup backup = taken;
  backup.module = ValidUtf8(taken.module);
  if (!db.Exec("BEGIN IMMEDIATE", reason)) return false;
  RecordRow values = NvBackupValues(backup);
  values["first_of_module"] = int64_t{0};  // from the links, once linked
  if (!InsertRow(db, "INSERT OR IGNORE", NvBackupsTable(), values, reason) || !LinkBackup(db, backup, reason) ||
      !PruneBackups(db, backup.module, reason))
    return Rollback(db);
  return db.Exec("COMMIT", reason);
}

std::vector<StationNvBackup> JobNvBackups(StationDb& db, const std::string& job_id, std::string* refused) {
  std::vector<StationNvBackup> backups;
  StationStatement query(db,
                         "SELECT l.sha256, l.module, l.job_id, l.taken_utc, b.records, b.bytes FROM nv_backup_modules l "
                         "JOIN nv_backups b ON b.sha256 = l.sha256 WHERE l.job_id = ?1 ORDER BY l.rowid");
  query.Bind(1, job_id);
  while (query.Step()) {
    StationNvBackup backup{query.Text(0), query.Text(1), query.Text(2), query.Text(3), query.Integer(4), query.Blob(5)};
    if (std::string mismatch = NvBackupMismatch(backup.sha256, backup.bytes); !mismatch.empty()) {
      if (refused) *refused = std::move(mismatch);
      continue;
    }
    backups.push_back(std::move(backup));
  }
  return backups;
}

}  // namespace vek
