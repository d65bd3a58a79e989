#include "store/line_db.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <variant>

#include "store/line_db_address.h"
#include "store/line_views.h"
#include "store/record_schema.h"
#include "store/record_values.h"
#include "store/valid_utf8.h"

namespace vek {
namespace {

// The schema's version, a table of the line's own; the others are the station's
// (record_schema.h), with the station's name on every row.
constexpr const char* kVersionTable = "CREATE TABLE IF NOT EXISTS vek_schema (version INTEGER NOT NULL);\n";

std::string ErrorOf(pg_conn* conn) {
  std::string text = conn ? PQerrorMessage(conn) : "out of memory";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  // libpq's own words name the host and the user at most; a first line is enough.
  if (const size_t end = text.find('\n'); end != std::string::npos) text.resize(end);
  return text;
}

// A query's result, cleared when it goes.
struct Result {
  explicit Result(PGresult* r) : result(r) {}
  ~Result() { PQclear(result); }
  bool Ok() const {
    const ExecStatusType status = PQresultStatus(result);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
  }
  PGresult* result;
};

// A module's link to equal bytes shipped again keeps the oldest taking.
constexpr const char* kKeepOldestLink =
    "DO UPDATE SET job_id = excluded.job_id, taken_utc = excluded.taken_utc, station = excluded.station "
    "WHERE excluded.taken_utc < nv_backup_modules.taken_utc";

// Every table and column this VEK writes, added where missing (never changed).
std::string UpgradeText() {
  std::string text = kVersionTable + CreateTablesText(RecordDb::kLine);
  for (const RecordTable* table : RecordTables())
    for (const RecordColumn& column : ColumnsIn(*table, RecordDb::kLine))
      if (column.not_null == false) text += AddColumnText(*table, column, RecordDb::kLine);
  return text + LinkOldBackupsText(RecordDb::kLine);
}

std::string UnknownSchemaText(int version) {
  return version == 0 ? "it has no schema yet (vek-report line-init makes it)"
                      : "its schema (version " + std::to_string(version) + ") is not the one this VEK knows (" +
                            std::to_string(kLineSchemaVersion) + ")";
}

// Whether a failed statement was refused for what the row holds (a data exception,
// a constraint, a limit: SQLSTATE classes 22, 23 and 54) and not for the connection.
bool RefusedForItsData(const PGresult* result) {
  const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const std::string code = state ? state : "";
  return code.starts_with("22") || code.starts_with("23") || code.starts_with("54");
}

// One row of `table`, bound by the line's columns in the list's order: numbers
// and texts as text (valid UTF-8: a module's text may hold any byte), bytes as
// they are. A row already there (by its key) stays; `refused` tells RefusedForItsData.
bool InsertOnce(pg_conn* conn, const RecordTable& table, const RecordRow& values, std::string& reason,
                const char* on_conflict = "DO NOTHING", bool* refused = nullptr) {
  const std::vector<RecordColumn> columns = ColumnsIn(table, RecordDb::kLine);
  std::vector<std::string> texts(columns.size());
  std::vector<const char*> params(columns.size(), nullptr);
  std::vector<int> lengths(columns.size(), 0), formats(columns.size(), 0);
  for (size_t i = 0; i < columns.size(); ++i) {
    const auto value = values.find(columns[i].name);
    if (value == values.end()) {
      reason = std::string("no value for ") + table.name + "." + columns[i].name;
      return false;
    }
    if (const auto* text = std::get_if<std::string>(&value->second)) {
      params[i] = (texts[i] = ValidUtf8(*text)).c_str();
    } else if (const auto* number = std::get_if<int64_t>(&value->second)) {
      params[i] = (texts[i] = std::to_string(*number)).c_str();
    } else if (const auto* real = std::get_if<double>(&value->second)) {
      params[i] = (texts[i] = std::to_string(*real)).c_str();
    } else if (const auto* bytes = std::get_if<std::vector<uint8_t>>(&value->second)) {
      params[i] = reinterpret_cast<const char*>(bytes->data());
      lengths[i] = static_cast<int>(bytes->size());
      formats[i] = 1;
    }
  }
  const std::string sql =
      InsertText("INSERT", table, RecordDb::kLine) + " ON CONFLICT (" + table.key + ") " + on_conflict;
  const Result inserted(PQexecParams(conn, sql.c_str(), static_cast<int>(columns.size()), nullptr, params.data(),
                                     lengths.data(), formats.data(), 0));
  if (inserted.Ok()) return true;
  reason = ErrorOf(conn);
  if (refused) *refused = RefusedForItsData(inserted.result);
  return false;
}

}  // namespace

const char* LineBackupLinks(int version) {
  return version >= 2 ? "nv_backup_modules" : "(SELECT sha256, module, job_id, taken_utc, station FROM nv_backups)";
}

std::string LineDbTarget(const std::string& conninfo) {
  const std::optional<LineDbAddress> address = ReadLineDbAddress(conninfo);
  if (!address) return kUnreadableLineDbText;
  if (!address->service.empty()) return "service " + address->service;
  std::string target = address->host.empty() ? "the local server" : address->host;
  if (!address->port.empty()) target += ":" + address->port;
  if (!address->dbname.empty()) target += "/" + address->dbname;
  return target;
}

std::unique_ptr<LineDb> LineDb::Connect(const std::string& conninfo, std::string& reason) {
  // The limit comes first: the connection string may set its own, which then holds.
  const std::string timeout = std::to_string(kLineConnectSeconds);
  const char* keywords[] = {"connect_timeout", "dbname", "application_name", nullptr};
  const char* values[] = {timeout.c_str(), conninfo.c_str(), "vek", nullptr};
  // A string that reads wrongly is never handed on: libpq's words about it would
  // quote it, and a misread one may put a piece of the password where a host goes.
  if (!ReadLineDbAddress(conninfo)) {
    reason = kUnreadableLineDbText;
    return nullptr;
  }
  pg_conn* conn = PQconnectdbParams(keywords, values, 1);
  std::unique_ptr<LineDb> db(new LineDb(conn));
  if (conn == nullptr || PQstatus(conn) != CONNECTION_OK) {
    reason = LineDbTarget(conninfo) + ": " + ErrorOf(conn);
    return nullptr;
  }
  // The server's notices ("relation ... already exists, skipping") are nobody's business.
  PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
  // A server that takes the connection and then stalls holds no job for long.
  if (!db->Run(("SET statement_timeout = " + std::to_string(kLineStatementSeconds * 1000)).c_str(), reason)) {
    reason = LineDbTarget(conninfo) + ": " + reason;
    return nullptr;
  }
  return db;
}

LineDb::~LineDb() { PQfinish(conn_); }

bool LineDb::Run(const char* sql, std::string& reason) {
  Result result(PQexec(conn_, sql));
  if (result.Ok()) return true;
  reason = ErrorOf(conn_);
  return false;
}

bool LineDb::Version(int& version, std::string& reason) {
  Result exists(PQexec(conn_, "SELECT to_regclass('vek_schema') IS NOT NULL"));
  if (!exists.Ok()) {
    reason = ErrorOf(conn_);
    return false;
  }
  if (std::string(PQgetvalue(exists.result, 0, 0)) != "t") {
    version = 0;
    return true;
  }
  Result found(PQexec(conn_, "SELECT coalesce(max(version), 0) FROM vek_schema"));
  if (!found.Ok()) {
    reason = ErrorOf(conn_);
    return false;
  }
  version = std::atoi(PQgetvalue(found.result, 0, 0));
  return true;
}

bool LineDb::Init(std::string& reason) {
  if (!Run("BEGIN", reason)) return false;
  // One station at a time makes or upgrades it.
  int version = 0;
  bool made = Run("SELECT pg_advisory_xact_lock(5046857)", reason) && Version(version, reason);
  if (made && version < kLineSchemaVersion) made = Run(UpgradeText().c_str(), reason);
  // The indexes a newer VEK of the same schema added, and the views, remade each time.
  if (made && version <= kLineSchemaVersion)
    made = Run((CreateTablesText(RecordDb::kLine) + LineViewsText()).c_str(), reason);
  if (made && version > kLineSchemaVersion) {
    reason = "its schema (version " + std::to_string(version) + ") is newer than this VEK knows (" +
             std::to_string(kLineSchemaVersion) + ")";
  } else if (made && (version == kLineSchemaVersion ||
                      Run(("DELETE FROM vek_schema; INSERT INTO vek_schema VALUES (" +
                           std::to_string(kLineSchemaVersion) + ")").c_str(), reason))) {
    return Run("COMMIT", reason);
  }
  std::string ignored;
  Run("ROLLBACK", ignored);
  return false;
}

bool LineDb::NewestNvBackup(const std::string& module, std::optional<VaultBackup>& found, std::string& reason) {
  int version = 0;
  if (!Version(version, reason)) return false;
  if (version == 0) {
    reason = UnknownSchemaText(version);
    return false;
  }
  const char* values[] = {module.c_str()};
  const std::string sql = std::string("SELECT l.station, l.taken_utc, l.sha256, b.bytes FROM ") +
                          LineBackupLinks(version) +
                          " l JOIN nv_backups b ON b.sha256 = l.sha256 WHERE l.module = $1 "
                          "ORDER BY l.taken_utc DESC, l.sha256 LIMIT 1";
  Result newest(PQexecParams(conn_, sql.c_str(), 1, nullptr, values, nullptr, nullptr, 1));  // all columns in binary
  if (!newest.Ok()) {
    reason = ErrorOf(conn_);
    return false;
  }
  if (PQntuples(newest.result) == 0) return true;
  const auto text = [&](int column) {
    return std::string(PQgetvalue(newest.result, 0, column), PQgetlength(newest.result, 0, column));
  };
  const auto* bytes = reinterpret_cast<const uint8_t*>(PQgetvalue(newest.result, 0, 3));
  found = VaultBackup{text(0), text(1), text(2), {bytes, bytes + PQgetlength(newest.result, 0, 3)}};
  return true;
}

bool LineDb::Ship(const StationJobRow& row, const std::vector<StationNvBackup>& backups, std::string& reason,
                  bool* row_refused) {
  bool refused = false;
  int version = 0;
  if (!Version(version, reason)) return false;
  // The first station of a newer VEK to ship upgrades an older VEK's schema.
  if (version > 0 && version < kLineSchemaVersion && Init(reason)) version = kLineSchemaVersion;
  if (version != kLineSchemaVersion) {
    reason = UnknownSchemaText(version);
    return false;
  }
  if (!Run("BEGIN", reason)) return false;
  bool shipped = InsertOnce(conn_, JobsTable(), JobValues(row), reason, "DO NOTHING", &refused);
  for (size_t i = 0; shipped && i < row.files.size(); ++i) {
    RecordRow file = ImageFileValues(row.id, i, row.files[i]);
    file["station"] = row.station;
    shipped = InsertOnce(conn_, ImageFilesTable(), file, reason, "DO NOTHING", &refused);
  }
  for (size_t i = 0; shipped && i < backups.size(); ++i) {
    RecordRow backup = NvBackupValues(backups[i]);
    backup["station"] = row.station;
    shipped = InsertOnce(conn_, NvBackupsTable(), backup, reason, "DO NOTHING", &refused) &&
              InsertOnce(conn_, NvBackupModulesTable(), backup, reason, kKeepOldestLink, &refused);
  }
  if (!shipped) {
    if (row_refused) *row_refused = refused;
    std::string ignored;
    Run("ROLLBACK", ignored);
    return false;
  }
  return Run("COMMIT", reason);
}

}  // namespace vek
