#include "store/line_db.h"

#include <libpq-fe.h>

#include <cstdlib>

#include "store/record_schema.h"

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

const char* OrNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

}  // namespace

std::string LineDbTarget(const std::string& conninfo) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
  PQfreemem(error);  // its words may quote the string itself
  if (options == nullptr) return "the line database (its connection string cannot be read)";
  std::string host, port, dbname, service;
  for (PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
    if (option->val == nullptr) continue;
    const std::string keyword = option->keyword;
    if (keyword == "host" || keyword == "hostaddr") host = option->val;
    if (keyword == "port") port = option->val;
    if (keyword == "dbname") dbname = option->val;
    if (keyword == "service") service = option->val;
  }
  PQconninfoFree(options);
  if (!service.empty()) return "service " + service;
  std::string target = host.empty() ? "the local server" : host;
  if (!port.empty()) target += ":" + port;
  if (!dbname.empty()) target += "/" + dbname;
  return target;
}

std::unique_ptr<LineDb> LineDb::Connect(const std::string& conninfo, std::string& reason) {
  // The limit comes first: the connection string may set its own, which then holds.
  const std::string timeout = std::to_string(kLineConnectSeconds);
  const char* keywords[] = {"connect_timeout", "dbname", "application_name", nullptr};
  const char* values[] = {timeout.c_str(), conninfo.c_str(), "vek", nullptr};
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
  const std::string nv_records = row.nv_records ? std::to_string(*row.nv_records) : "";
  const std::string nv_refused = row.nv_refused ? std::to_string(*row.nv_refused) : "";
  const std::string exit_status = row.exit_status ? std::to_string(*row.exit_status) : "";
  const std::string duration = std::to_string(row.duration_s);
  const char* job[] = {OrNull(row.id), OrNull(row.started_utc), OrNull(row.ended_utc), OrNull(row.station),
                       OrNull(row.program), OrNull(row.vek_version), OrNull(row.usb_path), OrNull(row.port),
                       OrNull(row.imei), OrNull(row.meid), OrNull(row.product), OrNull(row.version_before),
                       OrNull(row.version_after), OrNull(row.image_set_sha256), OrNull(nv_records),
                       OrNull(nv_refused), OrNull(row.result), OrNull(row.failed_step), OrNull(row.text),
                       OrNull(exit_status), duration.c_str(), OrNull(row.folder), OrNull(row.log)};
  bool shipped = Result(PQexecParams(conn_,
                                     "INSERT INTO jobs VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, "
                                     "$14, $15, $16, $17, $18, $19, $20, $21, $22, $23) ON CONFLICT (id) DO NOTHING",
                                     23, nullptr, job, nullptr, nullptr, 0))
                     .Ok();
  for (size_t i = 0; shipped && i < row.files.size(); ++i) {
    const std::string position = std::to_string(i), size = std::to_string(row.files[i].size);
    const char* file[] = {row.id.c_str(), position.c_str(), row.files[i].name.c_str(), size.c_str(),
                          row.files[i].sha256.c_str(), row.station.c_str()};
    shipped = Result(PQexecParams(conn_,
                                  "INSERT INTO image_files VALUES ($1, $2, $3, $4, $5, $6) "
                                  "ON CONFLICT (job_id, position) DO NOTHING",
                                  6, nullptr, file, nullptr, nullptr, 0))
                  .Ok();
  }
  for (size_t i = 0; shipped && i < backups.size(); ++i) {
    const StationNvBackup& backup = backups[i];
    const std::string records = std::to_string(backup.records);
    const char* values[] = {backup.sha256.c_str(), backup.module.c_str(), backup.job_id.c_str(),
                            backup.taken_utc.c_str(), records.c_str(), row.station.c_str(),
                            reinterpret_cast<const char*>(backup.bytes.data())};
    const int lengths[] = {0, 0, 0, 0, 0, 0, static_cast<int>(backup.bytes.size())};
    const int formats[] = {0, 0, 0, 0, 0, 0, 1};  // the bytes go as they are
    shipped = Result(PQexecParams(conn_,
                                  "INSERT INTO nv_backups VALUES ($1, $2, $3, $4, $5, $6, $7) "
                                  "ON CONFLICT (sha256) DO NOTHING",
                                  7, nullptr, values, lengths, formats, 0))
                  .Ok();
  }
  if (!shipped) {
    reason = ErrorOf(conn_);
    std::string ignored;
    Run("ROLLBACK", ignored);
    return false;
  }
  return Run("COMMIT", reason);
}

}  // namespace vek
