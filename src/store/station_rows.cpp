#include "store/station_rows.h"

#include <ctime>

#include "store/record_values.h"

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
    insert.BindValue(++position, value->second);
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

bool WriteNvBackup(StationDb& db, const StationNvBackup& backup, std::string& reason) {
  if (!db.Exec("BEGIN IMMEDIATE", reason)) return false;
  RecordRow values = NvBackupValues(backup);
  {
    // Asked inside the write's transaction: no other job's backup of the module comes between.
    StationStatement seen(db, "SELECT EXISTS (SELECT 1 FROM nv_backups WHERE module = ?1)");
    if (!seen.Bind(1, backup.module).Step()) {
      reason = db.Error();
      return Rollback(db);
    }
    values["first_of_module"] = static_cast<int64_t>(seen.Integer(0) == 0);
  }
  bool written = InsertRow(db, "INSERT OR IGNORE", NvBackupsTable(), values, reason);
  if (written) {
    StationStatement prune(db,
                           "DELETE FROM nv_backups WHERE module = ?1 AND first_of_module = 0 AND sha256 NOT IN "
                           "(SELECT sha256 FROM nv_backups WHERE module = ?1 AND first_of_module = 0 "
                           "ORDER BY taken_utc DESC, rowid DESC LIMIT ?2)");
    written = prune.Bind(1, backup.module).Bind(2, static_cast<int64_t>(kNvBackupsKeptPerModule)).Done();
    if (!written) reason = db.Error();
  }
  if (!written) return Rollback(db);
  return db.Exec("COMMIT", reason);
}

}  // namespace vek
