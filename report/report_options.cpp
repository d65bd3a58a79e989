#include "report/report_options.h"

#include <CLI/CLI.hpp>

#include <cctype>

#include "events/exit_status.h"

namespace vekreport {
namespace {

bool IsHex64(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// "2026-12-01" or "2026-12-01T08:00:00Z".
bool IsDate(const std::string& text) {
  auto digits = [&](size_t from, size_t count) {
    for (size_t i = from; i < from + count; ++i)
      if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    return true;
  };
  const bool date = text.size() >= 10 && digits(0, 4) && text[4] == '-' && digits(5, 2) && text[7] == '-' && digits(8, 2);
  if (text.size() == 10) return date;
  return date && text.size() == 20 && text[10] == 'T' && digits(11, 2) && text[13] == ':' && digits(14, 2) &&
         text[16] == ':' && digits(17, 2) && text[19] == 'Z';
}

// An IMEI (15 digits) or MEID (14 hexadecimal digits), as the module reports it.
bool IsModuleId(const std::string& text) {
  if (text.empty() || text.size() > 20) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

}  // namespace

std::optional<int> ParseReportOptions(int argc, char** argv, ReportOptions& options, std::ostream& err) {
  CLI::App app{"vek-report: what the station's database holds: its jobs, a module's history and NV backups."};
  app.set_version_flag("--version", "vek-report " VEK_VERSION);
  app.add_option("--db", options.db, "the station database (default: VEK_STATION_DB, else $XDG_DATA_HOME/vek/station.db)")
      ->type_name("FILE");
  // Before the command, as --db is, or among the command's own options.
  auto* line_db = app.add_option("--line-db", options.line_db,
                                 "read (or ship to) the line database, a libpq connection string or URI, instead")
                      ->type_name("URL");
  app.require_subcommand(1);
  CLI::App* jobs = app.add_subcommand("jobs", "the jobs, newest first");
  jobs->add_option("--module", options.module, "of this module only")->type_name("IMEI|MEID");
  jobs->add_option("--image-set", options.image_set, "that got this image set only")->type_name("SHA256");
  jobs->add_option("--since", options.since, "started on or after this day or UTC time")->type_name("DATE");
  jobs->add_flag("--failed", options.failed, "failed, aborted and interrupted jobs only");
  jobs->add_flag("--json", options.json, "one JSON object a line, with every column");
  CLI::App* module = app.add_subcommand("module", "a module's jobs and the NV backups kept for it");
  module->add_option("id", options.module, "its IMEI or MEID")->required()->type_name("IMEI|MEID");
  CLI::App* nv = app.add_subcommand("nv", "writes one NV backup of a module as a file the restore reads");
  nv->add_option("id", options.module, "its IMEI or MEID")->required()->type_name("IMEI|MEID");
  auto* first = nv->add_flag("--first", options.first, "the first backup kept (as the module arrived)");
  nv->add_option("--sha", options.sha256, "the backup with this SHA-256")->type_name("SHA256")->excludes(first);
  nv->add_option("--out", options.out, "the file to write (never over an existing one)")->required()->type_name("FILE");
  CLI::App* summary = app.add_subcommand("summary", "jobs by result, failures by step, by product and by station");
  summary->add_option("--since", options.since, "started on or after this day or UTC time")->type_name("DATE");
  // Each query reads the line database instead of the station's when told to; VEK_LINE_DB alone never switches it.
  for (CLI::App* query : {jobs, module, nv, summary})
    query->add_option("--line-db", options.line_db, "read the line database (a libpq connection string or URI) instead")
        ->type_name("URL");
  CLI::App* line_init = app.add_subcommand("line-init", "creates or upgrades the line database's schema");
  line_init->add_option("url", options.line_db, "the line database (a libpq connection string or URI)")
      ->required()
      ->type_name("URL");
  CLI::App* ship = app.add_subcommand("ship", "ships what this station has not shipped to the line database yet");
  ship->add_option("--line-db", options.line_db, "the line database (default: VEK_LINE_DB)")->type_name("URL");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error, std::cout, err);
    return status == 0 ? vekevents::kReportDone : vekevents::kReportUsage;
  }
  options.command = jobs->parsed() ? Command::kJobs : module->parsed() ? Command::kModule
                    : nv->parsed() ? Command::kNv : line_init->parsed() ? Command::kLineInit
                    : ship->parsed() ? Command::kShip : Command::kSummary;
  auto refuse = [&](const std::string& text) {
    err << "vek-report: " << text << "\n";
    return vekevents::kReportUsage;
  };
  options.from_line = !line_init->parsed() && !ship->parsed() &&
                      (line_db->count() > 0 || app.get_subcommands().front()->count("--line-db") > 0);
  if (options.from_line && options.line_db.empty())
    return refuse("--line-db expects the line database (a libpq connection string or URI)");
  if (!options.module.empty() && !IsModuleId(options.module))
    return refuse("a module is named by its IMEI (15 digits) or MEID (14 hexadecimal digits)");
  if (!options.image_set.empty() && !IsHex64(options.image_set))
    return refuse("--image-set expects the set's SHA-256: 64 hexadecimal digits");
  if (!options.sha256.empty() && !IsHex64(options.sha256))
    return refuse("--sha expects a backup's SHA-256: 64 hexadecimal digits");
  if (!options.since.empty() && !IsDate(options.since))
    return refuse("--since expects a day (2026-12-01) or a UTC time (2026-12-01T08:00:00Z)");
  for (char& c : options.image_set) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (char& c : options.sha256) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return std::nullopt;
}

}  // namespace vekreport
