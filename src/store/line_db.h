// The line's database: one PostgreSQL database that every station of a line
// ships its records to. The station's own database stays the first, durable
// copy; a row reaches the line in one transaction, once however often it is
// shipped (its id is the key).
//
// The connection is libpq's, so everything libpq reads works as it documents it
// (~/.pgpass, PGSERVICE, sslmode=verify-full). No text made here ever holds the
// connection string: a password in it must never reach a log, an event or a report.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "upgrade/vault_search.h"
#include "store/station_rows.h"

struct pg_conn;

namespace vek {

inline constexpr int kLineSchemaVersion = 3;

// How long a station waits for the line's server before it goes on without it.
inline constexpr int kLineConnectSeconds = 3;
// The longest one statement may run (a job's row with a 1 MB backup takes milliseconds).
inline constexpr int kLineStatementSeconds = 5;

class LineDb {
 public:
  // Connects to the database `conninfo` names (a libpq connection string or
  // URI); nothing and `reason` (without the connection string) when it cannot.
  static std::unique_ptr<LineDb> Connect(const std::string& conninfo, std::string& reason);
  ~LineDb();
  LineDb(const LineDb&) = delete;
  LineDb& operator=(const LineDb&) = delete;

  // Creates or upgrades the schema (vek-report line-init); idempotent.
  bool Init(std::string& reason);
  // The schema's version: 0 when it has none yet; false and `reason` on failure.
  bool Version(int& version, std::string& reason);
  // One job's row, its image files and its NV backups, in one transaction;
  // a row already there stays as it is. `row_refused`: the server refused what
  // the row holds (it would refuse it again), not the connection.
  bool Ship(const StationJobRow& row, const std::vector<StationNvBackup>& backups, std::string& reason,
            bool* row_refused = nullptr);

  // The newest backup of `module` any station shipped; `found` stays empty
  // when there is none. False and `reason` when the line cannot be asked.
  bool NewestNvBackup(const std::string& module, std::optional<VaultBackup>& found, std::string& reason);

  pg_conn* handle() const { return conn_; }

 private:
  explicit LineDb(pg_conn* conn) : conn_(conn) {}
  bool Run(const char* sql, std::string& reason);
  pg_conn* conn_;
};

// Where a query of a line database of schema `version` finds which module each
// backup was taken from: the links of version 2, or each backup's own module.
const char* LineBackupLinks(int version);

// Where a connection string points, for messages: "host db" without user or password.
std::string LineDbTarget(const std::string& conninfo);

}  // namespace vek
