#include "factory/factory_options.h"

#include <CLI/CLI.hpp>

#include "events/exit_status.h"
#include "options/option_words.h"

namespace vekfactory {
namespace {

// A number option read as text, so that a bad one is told in plain words.
struct NumberText {
  const char* name;
  const char* expects;
  std::string text;
  CLI::Option* option = nullptr;
};

}  // namespace

std::optional<int> ParseFactoryOptions(int argc, char** argv, FactoryOptions& options, std::ostream& err) {
  CLI::App app{"vek-factory: updates every module plugged in, one vek-cli per module, in the current directory."};
  app.set_version_flag("--version", "vek-factory 5.1");
  NumberText jobs{"--jobs", "a whole number of jobs from 1 to 256"};
  NumberText count{"--count", "a whole number of jobs from 1 to 1000000"};
  NumberText timeout{"--timeout", "a number of seconds greater than 0"};
  vekcli::AddJobChoices(
      app, {options.port_map, options.images, options.product, options.restore_default, options.erase_on_mismatch,
                options.restore_from_vault, options.line_db},
      "image folder for every module (default: the current directory)");
  jobs.option = app.add_option("--jobs", jobs.text, "at most N jobs at once (default: every module)")->type_name("N");
  app.add_option("--report", options.report, "append one JSON line per finished job to FILE")->type_name("FILE");
  count.option = app.add_option("--count", count.text, "end after N jobs have finished")->type_name("N");
  timeout.option =
      app.add_option("--timeout", timeout.text, "end when no module has appeared for SECONDS (greater than 0)")
          ->type_name("SECONDS");
  auto* station_db = app.add_option("--station-db", options.station_db,
                                    "keep every job's record in this SQLite database (as VEK_STATION_DB; default "
                                    "$XDG_DATA_HOME/vek/station.db)")
                         ->type_name("FILE");
  app.add_flag("--no-station-db", options.no_station_db, "keep no record of the jobs")->excludes(station_db);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    for (const NumberText* number : {&jobs, &count, &timeout})
      if (std::string_view(error.what()).find(number->name) != std::string_view::npos &&
          dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
        err << "vek-factory: " << number->name << " expects " << number->expects << "\n";
        return vekevents::kExitUsage;
      }
    const int status = app.exit(error, std::cout, err);
    return status == 0 ? 0 : vekevents::kExitUsage;
  }
  const auto refuse = [&](const NumberText& number) {
    err << "vek-factory: " << number.name << " expects " << number.expects << ", not " << vekcli::Quoted(number.text)
        << "\n";
    return vekevents::kExitUsage;
  };
  if (jobs.option->count() > 0 && !(options.jobs = vekcli::PositiveCount(jobs.text, kMostJobs))) return refuse(jobs);
  if (count.option->count() > 0 && !(options.count = vekcli::PositiveCount(count.text, kMostCount)))
    return refuse(count);
  if (timeout.option->count() > 0 && !(options.timeout_seconds = vekcli::PositiveSeconds(timeout.text)))
    return refuse(timeout);
  return std::nullopt;
}

}  // namespace vekfactory
