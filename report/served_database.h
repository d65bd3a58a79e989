// The database vek-report serve reads for its pages: the station's SQLite file
// or the line's PostgreSQL. Every request reads in a read-only transaction of
// its own (one snapshot for a page's several questions). The station's file is
// opened for each request; the line's connection, when it broke, is made again
// by the next, so a server back from a restart serves again without restarting
// vek-report. Used from the server's one thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "report/record_reader.h"

namespace vek {
class LineDb;
class StationDb;
}  // namespace vek

namespace vekreport {

class ServedDatabase {
 public:
  static std::unique_ptr<ServedDatabase> Station(const std::string& path);
  static std::unique_ptr<ServedDatabase> Line(const std::string& conninfo);
  ~ServedDatabase();

  // Runs `read` with a reader of the database; false and `why` (never the
  // connection string) when the database cannot be read or a question failed.
  bool Read(const std::function<void(RecordReader&)>& read, std::string& why);

  // What the pages call it: the station database's path, or the line's "host db".
  const std::string& name() const { return name_; }
  bool line() const { return !conninfo_.empty(); }

 private:
  ServedDatabase() = default;
  bool Connect(std::string& why);

  std::string path_, conninfo_, name_;
  std::unique_ptr<vek::StationDb> station_;
  std::unique_ptr<vek::LineDb> line_;
};

}  // namespace vekreport
