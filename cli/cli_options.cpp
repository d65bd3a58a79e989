#include "cli/cli_options.h"

#include <CLI/CLI.hpp>

#include <string_view>

#include "device/session.h"
#include "events/exit_status.h"
#include "options/option_words.h"

namespace vekcli {
namespace {

constexpr char kTimeoutExpects[] = "a number of seconds greater than 0";
constexpr char kModuleExpects[] = "a USB port path such as 1-2.3 or a port such as COM7";
// Some thirty years: a longer wait is as good as none, and a deadline this
// far ahead still fits the clock's nanosecond count.
constexpr double kEndlessSeconds = 1e9;

}  // namespace

std::optional<int> ParseCliOptions(int argc, char** argv, CliOptions& options, std::ostream& err) {
  CLI::App app{"vek-cli: updates the firmware of the attached module, as the desktop program's \"start\" does."};
  app.set_version_flag("--version", "vek-cli " VEK_VERSION);
  // Read as text and checked here, so that a bad number is told in plain words.
  std::string timeout;
  vekoptions::AddJobChoices(app,
                {options.port_map, options.images, options.product, options.restore_default, options.erase_on_mismatch,
                 options.restore_from_vault, options.line_db, options.nv_window},
                "initial image folder (default: the current directory)");
  auto* timeout_option =
      app.add_option("--timeout", timeout, "give up when no module is ready within SECONDS (greater than 0)")
          ->type_name("SECONDS");
  app.add_flag("--verbose", options.verbose, "debug output on standard error");
  app.add_option("--trace", options.trace,
                 "record every frame sent and received and each status text in FILE (as VEK_TRACE, which it overrides)")
      ->type_name("FILE");
  app.add_option("--events", options.events,
                 "write the job's events, one JSON object a line, to FILE, - (standard output: the status texts "
                 "then go to standard error) or fd:N (an inherited descriptor)")
      ->type_name("FILE|-|fd:N");
  auto* module_option =
      app.add_option("--module", options.module,
                     "work on the one module plugged in at this USB port path (1-2.3), or on the module that owns "
                     "this port (COM7); the other modules are left alone")
          ->type_name("WHERE");
  vekoptions::AddStationDbChoice(app, options.station_db, options.no_station_db, false);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // --timeout without its number is told like one with a bad number.
    if (std::string_view(error.what()) == CLI::ArgumentMismatch::TypedAtLeast("--timeout", 1, "SECONDS").what()) {
      err << "vek-cli: --timeout expects " << kTimeoutExpects << "\n";
      return vekevents::kExitUsage;
    }
    if (std::string_view(error.what()) == CLI::ArgumentMismatch::TypedAtLeast("--module", 1, "WHERE").what()) {
      err << "vek-cli: --module expects " << kModuleExpects << "\n";
      return vekevents::kExitUsage;
    }
    const int status = app.exit(error, std::cout, err);
    return status == 0 ? vekevents::kExitSucceeded : vekevents::kExitUsage;
  }
  if (timeout_option->count() > 0) {
    const std::optional<double> seconds = vekoptions::PositiveSeconds(timeout);
    if (!seconds) {
      err << "vek-cli: --timeout expects " << kTimeoutExpects << ", not " << vekoptions::Quoted(timeout) << "\n";
      return vekevents::kExitUsage;
    }
    options.timeout_seconds = *seconds;
  }
  if (module_option->count() > 0 && !vek::IsModuleName(options.module)) {
    err << "vek-cli: --module expects " << kModuleExpects << ", not " << vekoptions::Quoted(options.module) << "\n";
    return vekevents::kExitUsage;
  }
  return std::nullopt;
}

std::chrono::steady_clock::time_point DeadlineOf(const CliOptions& options, std::chrono::steady_clock::time_point now) {
  using Clock = std::chrono::steady_clock;
  if (!options.timeout_seconds || *options.timeout_seconds >= kEndlessSeconds) return Clock::time_point::max();
  return now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*options.timeout_seconds));
}

}  // namespace vekcli
