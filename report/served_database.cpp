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
  if (station_ || line_) return true;
  if (!line()) {
    // Opened for reading: SQLite's read-only mode, nothing is ever settled or upgraded.
    station_ = vek::StationDb::Open(path_, vek::StationDb::Mode::kRead, why);
    if (!station_) why = path_ + ": " + why;
    return station_ != nullptr;
  }
  line_ = OpenLineForReading(conninfo_, why);
  // Read-only by construction: no transaction of this session may write.
  if (line_ && !Run(line_->handle(), "SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY")) {
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
    if (began && reader.error().empty()) return true;
    if (why.empty()) why = reader.error();
    why = path_ + ": " + why;
    station_.reset();  // opened again by the next request: the file may have been replaced
    return false;
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
