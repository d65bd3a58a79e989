#include "store/record_schema.h"

namespace vek {
namespace {

using enum ColumnType;
constexpr bool kNotNull = true;
constexpr bool kNullable = false;

const char* TypeIn(ColumnType type, RecordDb db) {
  const bool line = db == RecordDb::kLine;
  switch (type) {
    case kText: return "TEXT";
    case kInteger: return "INTEGER";
    case kBigInteger: return line ? "BIGINT" : "INTEGER";
    case kReal: return line ? "DOUBLE PRECISION" : "REAL";
    case kBytes: return line ? "BYTEA" : "BLOB";
  }
  return "";
}

bool KeptBy(const RecordColumn& column, RecordDb db) {
  if (column.kept_in == KeptIn::kBoth) return true;
  return (column.kept_in == KeptIn::kStation) == (db == RecordDb::kStation);
}

// The text both databases were first made with, line for line: a station's
// sqlite_master keeps it as written.
std::string CreateTableText(const RecordTable& table, RecordDb db) {
  const std::string key = table.key;
  const bool key_of_one = key.find(',') == std::string::npos;
  std::string text = std::string("CREATE TABLE IF NOT EXISTS ") + table.name + " (\n";
  const char* separator = "";
  for (const RecordColumn& column : ColumnsIn(table, db)) {
    text += separator + std::string("  ") + column.name + " " + TypeIn(column.type, db);
    if (key_of_one && key == column.name) text += " PRIMARY KEY";
    if (column.not_null) text += " NOT NULL";
    separator = ",\n";
  }
  if (!key_of_one) text += separator + std::string("  PRIMARY KEY (") + key + ")";
  text += "\n);\n";
  for (const RecordIndex& index : table.indexes)
    text += std::string("CREATE INDEX IF NOT EXISTS ") + index.name + " ON " + table.name + " (" + index.columns +
            ");\n";
  return text;
}

}  // namespace

const RecordTable& JobsTable() {
  static const RecordTable table{
      "jobs",
      "id",
      {{"id", kText},
       {"started_utc", kText, kNotNull},
       {"ended_utc", kText},
       {"station", kText, kNotNull},
       {"program", kText, kNotNull},
       {"vek_version", kText, kNotNull},
       {"usb_path", kText},
       {"port", kText},
       {"imei", kText},
       {"meid", kText},
       {"product", kText},
       {"version_before", kText},
       {"version_after", kText},
       {"image_set_sha256", kText},
       {"nv_records", kBigInteger},
       {"nv_refused", kBigInteger},
       {"result", kText, kNotNull},
       {"failed_step", kText},
       {"text", kText},
       {"exit_status", kInteger},
       {"duration_s", kReal},
       {"folder", kText},
       {"log", kText},
       // The process that writes a row and its boot: a station tells a row left
       // running from one that runs. The line is shipped ended jobs only.
       {"pid", kInteger, kNullable, KeptIn::kStation},
       {"boot_id", kText, kNullable, KeptIn::kStation},
       // Version 2: "stored" when the job's NV backup is in the database, "pending"
       // while it waits beside the job for the database to take it; none taken: NULL.
       {"nv_backup", kText},
       // Version 3: what the operator must look at ("version_unconfirmed"); none: NULL.
       {"attention", kText}},
      {{"jobs_by_start", "started_utc"},
       {"jobs_by_imei", "imei"},
       {"jobs_by_meid", "meid"},
       // The pages' filters: a station's jobs and an image set's, newest first.
       {"jobs_by_station", "station, started_utc"},
       // With what an image set's page counts, so that it reads the index alone.
       {"jobs_by_image_set", "image_set_sha256, started_utc, result, imei, meid"}}};
  return table;
}

const RecordTable& ImageFilesTable() {
  static const RecordTable table{"image_files",
                                 "job_id, position",
                                 {{"job_id", kText, kNotNull},
                                  {"position", kInteger, kNotNull},
                                  {"name", kText, kNotNull},
                                  {"size", kBigInteger, kNotNull},
                                  {"sha256", kText, kNotNull},
                                  {"station", kText, kNotNull, KeptIn::kLine}},
                                 {}};
  return table;
}

const RecordTable& NvBackupsTable() {
  static const RecordTable table{"nv_backups",
                                 "sha256",
                                 {{"sha256", kText},
                                  {"module", kText, kNotNull},
                                  {"job_id", kText, kNotNull},
                                  {"taken_utc", kText, kNotNull},
                                  {"records", kBigInteger, kNotNull},
                                  // A station prunes its own; the line keeps every backup shipped.
                                  {"first_of_module", kInteger, kNotNull, KeptIn::kStation},
                                  {"station", kText, kNotNull, KeptIn::kLine},
                                  {"bytes", kBytes, kNotNull}},
                                 {{"nv_backups_by_module", "module, taken_utc"}}};
  return table;
}

// Version 2: each module a backup was taken from, when it was first taken from
// it and by which job: equal bytes from two modules are stored once and linked to
// both. A module's first backup is the one it was linked to first by time taken.
const RecordTable& NvBackupModulesTable() {
  static const RecordTable table{"nv_backup_modules",
                                 "sha256, module",
                                 {{"sha256", kText, kNotNull},
                                  {"module", kText, kNotNull},
                                  {"job_id", kText, kNotNull},
                                  {"taken_utc", kText, kNotNull},
                                  {"station", kText, kNotNull, KeptIn::kLine}},
                                 {{"nv_backup_modules_by_module", "module, taken_utc"},
                                  {"nv_backup_modules_by_job", "job_id"}}};
  return table;
}

const std::vector<const RecordTable*>& RecordTables() {
  static const std::vector<const RecordTable*> tables{&JobsTable(), &ImageFilesTable(), &NvBackupsTable(),
                                                      &NvBackupModulesTable()};
  return tables;
}

std::vector<RecordColumn> ColumnsIn(const RecordTable& table, RecordDb db) {
  std::vector<RecordColumn> kept;
  for (const RecordColumn& column : table.columns)
    if (KeptBy(column, db)) kept.push_back(column);
  return kept;
}

std::string ColumnNames(const RecordTable& table, RecordDb db) {
  std::string names;
  for (const RecordColumn& column : ColumnsIn(table, db))
    names += (names.empty() ? "" : ", ") + std::string(column.name);
  return names;
}

std::string InsertText(const std::string& verb, const RecordTable& table, RecordDb db) {
  const char* mark = db == RecordDb::kLine ? "$" : "?";
  std::string placeholders;
  for (size_t i = 1; i <= ColumnsIn(table, db).size(); ++i)
    placeholders += (i == 1 ? "" : ", ") + std::string(mark) + std::to_string(i);
  return verb + " INTO " + table.name + " (" + ColumnNames(table, db) + ") VALUES (" + placeholders + ")";
}

std::string CreateTablesText(RecordDb db) {
  std::string text;
  for (const RecordTable* table : RecordTables()) text += CreateTableText(*table, db);
  return text;
}

std::string AddColumnText(const RecordTable& table, const RecordColumn& column, RecordDb db) {
  // A column added later is never NOT NULL: the rows before it have none.
  return std::string("ALTER TABLE ") + table.name + " ADD COLUMN " + (db == RecordDb::kLine ? "IF NOT EXISTS " : "") +
         column.name + " " + TypeIn(column.type, db) + ";\n";
}

std::string LinkOldBackupsText(RecordDb db) {
  // A version-1 backup was taken from the module it names, by its job.
  return db == RecordDb::kLine
             ? "INSERT INTO nv_backup_modules (sha256, module, job_id, taken_utc, station) SELECT sha256, module, "
               "job_id, taken_utc, station FROM nv_backups ON CONFLICT DO NOTHING;\n"
             : "INSERT OR IGNORE INTO nv_backup_modules (sha256, module, job_id, taken_utc) SELECT sha256, module, "
               "job_id, taken_utc FROM nv_backups;\n";
}

}  // namespace vek
