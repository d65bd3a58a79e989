#include "store/line_db.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <variant>

#include "store/line_db_address.h"
#include "store/record_schema.h"
#include "store/record_values.h"

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

std::string UnknownSchemaText(int version) {
  return version == 0 ? "it has no schema yet (vek-report line-init makes it)"
                      : "its schema (version " + std::to_string(version) + ") is not the one this VEK knows (" +
                            std::to_string(kLineSchemaVersion) + ")";
}

// One row of `table`, bound by the line's columns in the list's order: numbers
// and texts as text, bytes as they are. A row already there (by its key) stays.
bool InsertOnce(pg_conn* conn, const RecordTable& table, const RecordRow& values, std::string& reason) {
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
      params[i] = text->c_str();
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
      InsertText("INSERT", table, RecordDb::kLine) + " ON CONFLICT (" + table.key + ") DO NOTHING";
  if (Result(PQexecParams(conn, sql.c_str(), static_cast<int>(columns.size()), nullptr, params.data(), lengths.data(),
                          formats.data(), 0))
          .Ok())
    return true;
  reason = ErrorOf(conn);
  return false;
}

}  // namespace

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
  const std::string tables = kVersionTable + CreateTablesText(RecordDb::kLine);
  const bool made = Run("SELECT pg_advisory_xact_lock(5046857)", reason) && Run(tables.c_str(), reason) &&
                    Version(version, reason);
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
  if (version != kLineSchemaVersion) {
    reason = UnknownSchemaText(version);
    return false;
  }
  const char* values[] = {module.c_str()};
  Result newest(PQexecParams(conn_,
                             "SELECT station, taken_utc, sha256, bytes FROM nv_backups WHERE module = $1 "
                             "ORDER BY taken_utc DESC, sha256 LIMIT 1",
                             1, nullptr, values, nullptr, nullptr, 1));  // all columns in binary
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

bool LineDb::Ship(const StationJobRow& row, const std::vector<StationNvBackup>& backups, std::string& reason) {
  int version = 0;
  if (!Version(version, reason)) return false;
  if (version != kLineSchemaVersion) {
    reason = UnknownSchemaText(version);
    return false;
  }
  if (!Run("BEGIN", reason)) return false;
  bool shipped = InsertOnce(conn_, JobsTable(), JobValues(row), reason);
  for (size_t i = 0; shipped && i < row.files.size(); ++i) {
    RecordRow file = ImageFileValues(row.id, i, row.files[i]);
    file["station"] = row.station;
    shipped = InsertOnce(conn_, ImageFilesTable(), file, reason);
  }
  for (size_t i = 0; shipped && i < backups.size(); ++i) {
    RecordRow backup = NvBackupValues(backups[i]);
    backup["station"] = row.station;
    shipped = InsertOnce(conn_, NvBackupsTable(), backup, reason);
  }
  if (!shipped) {
    std::string ignored;
    Run("ROLLBACK", ignored);
    return false;
  }
  return Run("COMMIT", reason);
}

}  // namespace vek
