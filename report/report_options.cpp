#include "report/report_options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <vector>

#include "events/exit_status.h"
#include "options/help_in_words.h"
#include "report/query_values.h"
#include "report/report_serve.h"

namespace vekreport {
namespace {

// The value an option was given, before the command or among its own options
// (each place an option of its own); false when it was given two different ones.
bool OneValue(const std::vector<CLI::Option*>& places, std::optional<std::string>& value) {
  for (const CLI::Option* place : places)
    for (const std::string& given : place->results()) {
      if (value && *value != given) return false;
      value = given;
    }
  return true;
}

}  // namespace

std::optional<int> ParseReportOptions(int argc, char** argv, ReportOptions& options, std::ostream& err) {
  CLI::App app{"vek-report: what the station's database holds: its jobs, a module's history and NV backups."};
  app.set_version_flag("--version", "vek-report " VEK_VERSION);
  app.formatter(std::make_shared<vekoptions::HelpInWords>());
  constexpr char kDbHelp[] = "the station database (default: VEK_STATION_DB, else $XDG_DATA_HOME/vek/station.db)";
  constexpr char kLineDbHelp[] = "read the line database (a libpq connection string or URI) instead";
  // --db and --line-db go before the command or among its own options.
  std::vector<CLI::Option*> db{app.add_option("--db", kDbHelp)->type_name("FILE")};
  std::vector<CLI::Option*> line_db{
      app.add_option("--line-db", "read (or ship to) the line database, a libpq connection string or URI, instead")
          ->type_name("URL")};
  app.require_subcommand(1);
  CLI::App* jobs = app.add_subcommand("jobs", "the jobs, newest first");
  std::vector<CLI::Option*> module_id{jobs->add_option("--module", options.module, "of this module only")
                                          ->type_name("IMEI|MEID")};
  auto* image_set =
      jobs->add_option("--image-set", options.image_set, "that got this image set only")->type_name("SHA256");
  std::vector<CLI::Option*> since{
      jobs->add_option("--since", options.since, "started on or after this day or UTC time (or today, yesterday)")
          ->type_name("DATE")};
  jobs->add_flag("--failed", options.failed, "failed, aborted and interrupted jobs only");
  auto* station_name = jobs->add_option("--station", options.station, "of this station only")->type_name("NAME");
  jobs->add_flag("--json", options.json, "one JSON object a line, with every column");
  CLI::App* module = app.add_subcommand("module", "a module's jobs and the NV backups kept for it");
  module_id.push_back(
      module->add_option("id", options.module, "its IMEI or MEID")->required()->type_name("IMEI|MEID"));
  CLI::App* nv = app.add_subcommand("nv", "writes one NV backup of a module as a file the restore reads");
  module_id.push_back(nv->add_option("id", options.module, "its IMEI or MEID")->required()->type_name("IMEI|MEID"));
  auto* first = nv->add_flag("--first", options.first, "the first backup kept (as the module arrived); not with --sha");
  auto* sha = nv->add_option("--sha", options.sha256, "the backup with this SHA-256; not with --first")
                  ->type_name("SHA256")
                  ->excludes(first);
  auto* out = nv->add_option("--out", options.out, "the file to write (never over an existing one)")
                  ->required()
                  ->type_name("FILE");
  CLI::App* summary = app.add_subcommand("summary", "jobs by result, failures by step, by product and by station");
  since.push_back(
      summary->add_option("--since", options.since, "started on or after this day or UTC time (or today, yesterday)")
          ->type_name("DATE"));
  CLI::App* serve = app.add_subcommand("serve", "serves read-only pages of the jobs, modules and image sets, with charts");
  serve->add_option("--http", options.http, "the address to serve them on (default " + std::string(kDefaultServeAddress) + ")")
      ->type_name("ADDR:PORT");
  // Each query reads the line database instead of the station's when told to; VEK_LINE_DB alone never switches it.
  for (CLI::App* query : {jobs, module, nv, summary, serve}) {
    db.push_back(query->add_option("--db", kDbHelp)->type_name("FILE"));
    line_db.push_back(query->add_option("--line-db", kLineDbHelp)->type_name("URL"));
  }
  CLI::App* line_init = app.add_subcommand("line-init", "creates or upgrades the line database's schema");
  line_init->add_option("url", options.line_db, "the line database (a libpq connection string or URI)")
      ->required()
      ->type_name("URL");
  CLI::App* ship = app.add_subcommand("ship", "ships what this station has not shipped to the line database yet");
  db.push_back(ship->add_option("--db", kDbHelp)->type_name("FILE"));
  line_db.push_back(ship->add_option("--line-db", "the line database (default: VEK_LINE_DB)")->type_name("URL"));
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error, std::cout, err);
    return status == 0 ? vekevents::kReportDone : vekevents::kReportUsage;
  }
  options.command = jobs->parsed() ? Command::kJobs : module->parsed() ? Command::kModule
                    : nv->parsed() ? Command::kNv : line_init->parsed() ? Command::kLineInit
                    : ship->parsed() ? Command::kShip : serve->parsed() ? Command::kServe : Command::kSummary;
  auto refuse = [&](const std::string& text) {
    err << "vek-report: " << text << "\n";
    return vekevents::kReportUsage;
  };
  auto given = [](const std::vector<CLI::Option*>& places) {
    return std::any_of(places.begin(), places.end(), [](const CLI::Option* place) { return place->count() > 0; });
  };
  std::optional<std::string> station, line;
  if (!OneValue(db, station)) return refuse("--db is given twice, with two different files");
  if (!OneValue(line_db, line)) return refuse("--line-db is given twice, with two different databases");
  if (station && station->empty()) return refuse("--db expects the station database's file");
  if (options.command == Command::kLineInit) {
    if (line) return refuse("line-init takes the line database as its URL, not --line-db");
  } else if (line) {
    options.line_db = *line;
    // One database a question: a report never mixes the station's with the line's.
    if (station && options.command != Command::kShip)
      return refuse("--db and --line-db name two databases: give one (ship alone takes both)");
  }
  options.db = station.value_or("");
  options.from_line = line && options.command != Command::kLineInit && options.command != Command::kShip;
  if (options.from_line && options.line_db.empty())
    return refuse("--line-db expects the line database (a libpq connection string or URI)");
  // An empty value is refused like any other bad one: it never stands for "every module" or "any time".
  if (given(module_id) && !IsModuleId(options.module))
    return refuse("a module is named by its IMEI (15 digits) or MEID (14 hexadecimal digits)");
  if (image_set->count() > 0 && !IsHex64(options.image_set))
    return refuse("--image-set expects the set's SHA-256: 64 hexadecimal digits");
  if (sha->count() > 0 && !IsHex64(options.sha256))
    return refuse("--sha expects a backup's SHA-256: 64 hexadecimal digits");
  if (station_name->count() > 0 && options.station.empty()) return refuse("--station expects a station's name");
  if (out->count() > 0 && options.out.empty()) return refuse("--out expects the file to write");
  if (given(since)) {
    const std::optional<std::string> from = SinceOf(options.since);
    if (!from)
      return refuse("--since expects a day (2026-12-01), a UTC time (2026-12-01T08:00:00Z), today or yesterday");
    options.since = *from;
  }
  if (options.command == Command::kServe) {
    if (options.http.empty()) options.http = kDefaultServeAddress;
    if (options.http.rfind(':') == std::string::npos) return refuse("--http expects ADDR:PORT (127.0.0.1:8751)");
  }
  for (char& c : options.image_set) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (char& c : options.sha256) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return std::nullopt;
}

}  // namespace vekreport
