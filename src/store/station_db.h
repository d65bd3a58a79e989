// The station's database: every job and every NV backup of this station, kept
// in one SQLite file that vek, vek-cli and vek-factory's jobs write and
// vek-report reads. Its tables and columns are an outside contract (docs/records.md):
// extend, never change.
//
// Nothing here ever fails a job: a database that cannot be written says why, and
// nothing in it (or in a file that is not one) is deleted or overwritten.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "store/record_schema.h"
#include "store/station_db_path.h"

struct sqlite3;
struct sqlite3_stmt;

namespace vek {

inline constexpr int kStationSchemaVersion = 3;

class StationDb {
 public:
  enum class Mode { kWrite, kRead };
  // Opens the database at `path`; for writing, its folder (0700) and the file
  // (0600) are made when missing, and the schema when the file is new. Nothing
  // and `reason` set when it cannot be used: not an SQLite file, a schema newer
  // than this program's (for reading: one that lacks a column of this
  // program's), unreadable, a folder that cannot be made, a path that is not a
  // plain file (or, for writing, is a symbolic link). For writing, a file others
  // may read is made 0600; `note` says so when that fails. For reading, a file
  // in a folder this user may not write (read-only media) is read as it stands.
  static std::unique_ptr<StationDb> Open(const std::string& path, Mode mode, std::string& reason,
                                         std::string* note = nullptr);
  ~StationDb();
  StationDb(const StationDb&) = delete;
  StationDb& operator=(const StationDb&) = delete;

  sqlite3* handle() const { return db_; }
  // One or more statements without results; false and `reason` set on failure.
  bool Exec(const char* sql, std::string& reason);
  // The last error's words, as SQLite says them.
  std::string Error() const;
  // PRAGMA user_version: 0 for a file no VEK made, more than kStationSchemaVersion
  // for one a newer VEK made (read only).
  int64_t schema_version() const { return schema_version_; }
  // Opened as a file nothing writes (SQLite's immutable=1): the folder could not
  // take the files SQLite keeps beside a database, so it is read as it stands.
  bool as_it_stands() const { return as_it_stands_; }
  // Where a query finds which module each backup was taken from (sha256, module,
  // job_id, taken_utc and link_order, the order they were written in): the links
  // of version 2, or (a version-1 file read as it stands) each backup's own module.
  const char* backup_links() const {
    return has_links_ ? "(SELECT rowid AS link_order, * FROM nv_backup_modules)"
                      : "(SELECT rowid AS link_order, sha256, module, job_id, taken_utc FROM nv_backups)";
  }

 private:
  explicit StationDb(sqlite3* db) : db_(db) {}
  static std::unique_ptr<StationDb> OpenFile(const std::string& name, int flags, std::string& reason);
  bool Prepare(Mode mode, std::string& reason);
  std::vector<std::pair<const RecordTable*, RecordColumn>> ColumnsLacked();
  std::string MissingColumns();
  bool LacksAnIndex();
  bool Upgrade(std::string& reason);
  bool SwitchToWal(std::string& reason);
  sqlite3* db_;
  int64_t schema_version_ = 0;
  bool as_it_stands_ = false;
  bool has_links_ = true;
  std::chrono::steady_clock::time_point busy_since_{};  // when the current wait for the lock began
};

// A prepared statement, bound by position from 1, finalised when it goes.
class StationStatement {
 public:
  StationStatement(const StationDb& db, const char* sql);
  ~StationStatement();
  StationStatement(const StationStatement&) = delete;
  StationStatement& operator=(const StationStatement&) = delete;

  bool ok() const { return statement_ != nullptr; }
  StationStatement& Bind(int position, const std::string& text);  // empty text: NULL
  StationStatement& Bind(int position, int64_t number);
  StationStatement& Bind(int position, double number);
  StationStatement& BindOptional(int position, const std::optional<int64_t>& number);
  StationStatement& BindBlob(int position, const std::vector<uint8_t>& bytes);
  StationStatement& BindValue(int position, const RecordValue& value);  // empty text: NULL
  // One step: true while a row is there (Row), false at the end or on an error (Failed).
  bool Step();
  bool Done();  // steps a statement that returns no rows; true when it ran
  bool Failed() const { return failed_; }

  int ColumnCount() const;
  std::string ColumnName(int column) const;
  std::string Text(int column) const;
  int64_t Integer(int column) const;
  double Real(int column) const;
  bool IsNull(int column) const;
  bool IsNumber(int column) const;  // an integer or a real
  std::vector<uint8_t> Blob(int column) const;
  RecordRow Row() const;  // the row's values by column name, each as it is stored

 private:
  sqlite3_stmt* statement_ = nullptr;
  bool failed_ = false;
};

}  // namespace vek
