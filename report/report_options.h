// The command line of vek-report: `vek-report [--db FILE | --line-db URL] COMMAND ...`,
// the database named before the command or among its options (ship takes both).
// Its commands and options are a fixed interface; more may be added.
#pragma once

#include <iostream>
#include <optional>
#include <string>

namespace vekreport {

enum class Command { kJobs, kModule, kNv, kSummary, kLineInit, kShip, kServe };

struct ReportOptions {
  std::string db;  // --db FILE (default: VEK_STATION_DB, else the user's own)
  Command command = Command::kJobs;
  std::string module;     // jobs --module, module ID, nv ID
  std::string image_set;  // jobs --image-set
  std::string since;      // jobs, summary --since DATE, as the tables keep times (today and yesterday as days)
  bool failed = false;    // jobs --failed
  std::string station;    // jobs --station
  bool json = false;      // jobs --json
  bool first = false;     // nv --first
  std::string sha256;     // nv --sha
  std::string out;        // nv --out FILE
  std::string line_db;    // --line-db URL (ship and the queries), or line-init's URL
  bool from_line = false; // a query given --line-db: it reads the line database, not the station's
  std::string http;       // serve --http ADDR:PORT
};

// Parses the command line; an exit status (events/exit_status.h) when the program must end now.
std::optional<int> ParseReportOptions(int argc, char** argv, ReportOptions& options, std::ostream& err = std::cerr);

}  // namespace vekreport
