#include "report/served_database.h"

#include <libpq-fe.h>

#include "store/line_db.h"
#include "store/station_db.h"
#include "report/line_reader.h"
#include "report/station_reader.h"

namespace vekreport {
namespace {

// A statement of the connection's own (BEGIN, ROLLBACK); false when it failed.
bool Run(pg_conn* conn, const char* sql) {
  PGresult* result = PQexec(conn, sql);
  const bool ran = PQresultStatus(result) == PGRES_COMMAND_OK;
  PQclear(result);
  return ran;
}

}  // namespace

std::unique_ptr<ServedDatabase> ServedDatabase::Station(const std::string& path) {
  std::unique_ptr<ServedDatabase> served(new ServedDatabase);
  served->path_ = served->name_ = path;
  return served;
}

std::unique_ptr<ServedDatabase> ServedDatabase::Line(const std::string& conninfo) {
  std::unique_ptr<ServedDatabase> served(new ServedDatabase);
  served->conninfo_ = conninfo;
  served->name_ = vek::LineDbTarget(conninfo);
  return served;
}

ServedDatabase::~ServedDatabase() = default;

bool ServedDatabase::Connect(std::string& why) {
  if (!line()) {
    // Opened for reading, anew for each request (a file put in its place, from
    // a backup say, is the one read): SQLite's read-only mode, nothing is ever
    // settled or upgraded.
    station_ = vek::StationDb::Open(path_, vek::StationDb::Mode::kRead, why);
    if (!station_) why = path_ + ": " + why;
    return station_ != nullptr;
  }
  if (line_) return true;
  line_ = OpenLineForReading(conninfo_, why);
  // Read-only by construction: no transaction of this session may write.
  // The pages' counts group up to a few hundred thousand rows: in memory, not on disk.
  if (line_ && !(Run(line_->handle(), "SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY") &&
                 Run(line_->handle(), "SET work_mem = '32MB'"))) {
    why = name_ + ": " + PQerrorMessage(line_->handle());
    line_.reset();
  }
  return line_ != nullptr;
}

bool ServedDatabase::Read(const std::function<void(RecordReader&)>& read, std::string& why) {
  if (!Connect(why)) return false;
  if (station_) {
    StationReader reader(*station_);
    // One snapshot for the page's questions; a deferred transaction never writes.
    std::string ignored;
    const bool began = station_->Exec("BEGIN", why);
    if (began) read(reader);
    if (began) station_->Exec("ROLLBACK", ignored);
    const bool read_all = began && reader.error().empty();
    if (!read_all) why = path_ + ": " + (why.empty() ? reader.error() : why);
    station_.reset();
    return read_all;
  }
  LineReader reader(*line_);
  const bool began = Run(line_->handle(), "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
  if (began) read(reader);
  Run(line_->handle(), "ROLLBACK");
  if (began && reader.error().empty()) return true;
  why = name_ + ": " + (reader.error().empty() ? std::string(PQerrorMessage(line_->handle())) : reader.error());
  if (const size_t end = why.find('\n'); end != std::string::npos) why.resize(end);
  if (PQstatus(line_->handle()) != CONNECTION_OK) line_.reset();
  return false;
}

}  // namespace vekreport
