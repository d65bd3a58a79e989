// vek-report: what the station's database holds, or with --line-db what the
// line's holds. Its queries read only; `ship` marks in the station's database
// what it shipped, `line-init` makes the line's schema.
//
// Exit status: 0 done; 1 the database is missing or cannot be read, nothing
// is kept for the module, or the backup file cannot be written; 2 bad arguments.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string_view>

#include "events/exit_status.h"
#include "store/line_db.h"
#include "store/line_shipping.h"
#include "store/pending_records.h"
#include "store/station_db.h"
#include "report/line_reader.h"
#include "report/report_options.h"
#include "report/report_print.h"
#include "report/report_serve.h"
#include "report/station_reader.h"

namespace {

using namespace vekreport;

int Fail(const std::string& text) {
  std::cerr << "vek-report: " << text << "\n";
  return vekevents::kReportFailed;
}

// "<database>: <why>": every failure names the database it is about, once (the
// store's own words name a path when a writer's message needs it).
std::string About(const std::string& database, const std::string& reason) {
  const bool named =
      reason.starts_with(database) && (reason.size() == database.size() || reason[database.size()] == ':');
  return named ? reason : database + ": " + reason;
}

// Written whole as a new file (0600, never over one that is there), synced.
int WriteBackupFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return Fail("cannot make " + path + ": " + std::strerror(errno));
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  const bool whole = written == bytes.size() && fsync(fd) == 0;
  const int error = errno;
  close(fd);
  if (!whole) {
    unlink(path.c_str());  // a cut backup must never be restored
    return Fail("cannot write " + path + ": " + std::strerror(error));
  }
  return vekevents::kReportDone;
}

}  // namespace

// line-init: the line database's schema, made or upgraded.
int InitLine(const std::string& url) {
  std::string reason;
  std::unique_ptr<vek::LineDb> line = vek::LineDb::Connect(url, reason);
  if (!line || !line->Init(reason))
    return Fail("line database not made ready: " + About(vek::LineDbTarget(url), reason));
  std::cout << "the line database at " << vek::LineDbTarget(url) << " has schema version " << vek::kLineSchemaVersion
            << "\n";
  return vekevents::kReportDone;
}

// Rows that jobs had to keep beside them go into the station's database first,
// when this user may write it; else they wait for the next job or a later run.
void SettleKept(vek::StationDb& db, const std::vector<std::string>& folders) {
  std::vector<std::string> unreadable;
  vek::SettlePendingRows(db, folders, &unreadable);
  for (const std::string& note : unreadable) std::cerr << "vek-report: " << note << "\n";
}

void SettleKeptRows(vek::StationDb& db) { SettleKept(db, vek::PendingRowFolders(db)); }

// Before a query, through `reading`: the database is opened for writing only
// when a row waits beside a job of it, and never one read as it stands or
// made by another VEK (a copy an auditor reads stays as it is).
void SettleKeptRows(vek::StationDb& reading, const std::string& path) {
  if (reading.as_it_stands() || reading.schema_version() != vek::kStationSchemaVersion) return;
  std::vector<std::string> folders = vek::PendingRowFolders(reading);
  std::erase_if(folders, [](const std::string& folder) {
    std::error_code ignored;
    return !std::filesystem::exists(folder + "/" + vek::kPendingRecordsFolder, ignored);
  });
  std::string ignored;
  if (!folders.empty())
    if (std::unique_ptr<vek::StationDb> db = vek::StationDb::Open(path, vek::StationDb::Mode::kWrite, ignored))
      SettleKept(*db, folders);
}

// ship: what the station has not shipped yet.
int ShipToLine(const std::string& station_path, std::string url) {
  if (url.empty()) {
    const char* from_environment = std::getenv("VEK_LINE_DB");
    if (from_environment == nullptr || from_environment[0] == '\0') return Fail("no line database: give --line-db URL");
    url = from_environment;
  }
  std::string reason;
  std::unique_ptr<vek::StationDb> station = vek::StationDb::Open(station_path, vek::StationDb::Mode::kWrite, reason);
  if (!station) return Fail("cannot open " + About(station_path, reason));
  SettleKeptRows(*station);
  const std::string target = vek::LineDbTarget(url);
  std::unique_ptr<vek::LineDb> line = vek::LineDb::Connect(url, reason);
  if (!line) return Fail("line record not shipped: " + About(target, reason));
  const vek::ShippingCount count = vek::ShipPending(*station, *line, reason);
  std::cout << count.shipped << " job(s) shipped, " << count.left << " left\n";
  for (const std::string& set_aside : count.set_aside) std::cerr << "vek-report: " << set_aside << "\n";
  // Shipping's reasons call the station's database so; here it goes by its path.
  constexpr std::string_view kStationPart = "the station database: ";
  if (reason.starts_with(kStationPart))
    return Fail("line record not shipped: " + About(station_path, reason.substr(kStationPart.size())));
  if (!reason.empty()) return Fail("line record not shipped: " + About(target, reason));
  return vekevents::kReportDone;
}

// jobs, module, nv and summary, through `reader`; `source` names its database in messages.
int Query(RecordReader& reader, const ReportOptions& options, const std::string& source) {
  // A read that failed leaves its rows out: said instead of a report that looks whole.
  auto failed_read = [&] { return Fail("cannot read " + About(source, reader.error())); };
  switch (options.command) {
    case Command::kJobs: {
      const std::vector<JobRow> jobs =
          reader.Jobs({options.module, options.image_set, options.since, options.failed, options.station});
      if (!reader.error().empty()) return failed_read();
      if (options.json) PrintJobsJson(std::cout, jobs);
      else PrintJobsTable(std::cout, jobs, options.from_line);
      break;
    }
    case Command::kModule: {
      JobFilter filter;
      filter.module = options.module;
      const std::vector<JobRow> jobs = reader.Jobs(filter);
      const std::vector<NvBackupRow> backups = reader.NvBackups(options.module);
      if (!reader.error().empty()) return failed_read();
      std::cout << "jobs of " << options.module << ":\n";
      PrintJobsTable(std::cout, jobs, options.from_line);
      std::cout << "\nNV backups kept for " << options.module << ":\n";
      PrintNvBackups(std::cout, backups, options.from_line);
      PrintPendingBackups(std::cout, jobs);
      break;
    }
    case Command::kNv: {
      const auto bytes = reader.NvBytes(options.module, options.first, options.sha256);
      if (!reader.error().empty()) return failed_read();
      if (!reader.refused().empty()) return Fail(reader.refused() + " (in " + source + ")");
      if (!bytes) return Fail("no such NV backup of " + options.module + " is kept in " + source);
      return WriteBackupFile(options.out, *bytes);
    }
    case Command::kSummary: {
      const Summary summary = reader.Summarise(options.since);
      if (!reader.error().empty()) return failed_read();
      PrintSummary(std::cout, summary);
      break;
    }
    case Command::kLineInit:
    case Command::kShip:
    case Command::kServe: break;  // not queries
  }
  if (!std::cout.flush()) return Fail("cannot write the report");
  return vekevents::kReportDone;
}

int main(int argc, char** argv) {
  ReportOptions options;
  if (auto status = ParseReportOptions(argc, argv, options)) return *status;
  if (options.command == Command::kLineInit) return InitLine(options.line_db);
  if (options.command == Command::kServe && options.from_line) return Serve("", options.line_db, options.http);
  std::string reason;
  if (options.from_line) {
    std::unique_ptr<vek::LineDb> line = OpenLineForReading(options.line_db, reason);
    if (!line) return Fail("cannot read " + About(vek::LineDbTarget(options.line_db), reason));
    LineReader reader(*line);
    return Query(reader, options, vek::LineDbTarget(options.line_db));
  }
  const std::string path = vek::StationDbPath(options.db, false);
  if (path.empty())
    return Fail("no station database: give --db FILE (neither VEK_STATION_DB, XDG_DATA_HOME nor HOME names one)");
  if (access(path.c_str(), F_OK) != 0) return Fail("no station database at " + path);
  std::unique_ptr<vek::StationDb> db = vek::StationDb::Open(path, vek::StationDb::Mode::kRead, reason);
  if (!db) return Fail("cannot read " + About(path, reason));
  if (options.command == Command::kShip) {
    db.reset();
    return ShipToLine(path, options.line_db);
  }
  if (options.command == Command::kServe) {
    db.reset();
    return Serve(path, "", options.http);
  }
  SettleKeptRows(*db, path);
  StationReader reader(*db);
  return Query(reader, options, path);
}
