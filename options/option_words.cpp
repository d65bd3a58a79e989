#include "options/option_words.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>

#include "device/session.h"
#include "options/help_in_words.h"

namespace vekoptions {

void AddJobChoices(CLI::App& app, const JobChoiceFields& fields, const char* images_help) {
  const std::vector<std::string> models = vek::Session::AllProducts().names;
  app.add_option("--port-map", fields.port_map,
                 "ports file (DEVICE_PATH<TAB>FRIENDLY NAME[<TAB>USB_PATH]), as VEK_PORT_MAP");
  app.add_option("--images", fields.images, images_help)->check(CLI::ExistingDirectory);
  app.add_option("--product", fields.product, "the product, when a module is found in a download mode")
      ->check(CLI::IsMember(models));
  app.add_flag("--restore-default", fields.restore_default, "restore the module's default settings (AT&F1)");
  app.add_flag("--erase-on-mismatch", fields.erase_on_mismatch,
               "erase the whole flash when the partition table differs");
  app.add_flag("--restore-from-vault", fields.restore_from_vault,
               "a module found in a download mode gets its newest NV backup kept at this station or the line "
               "back after its images");
  app.add_option("--line-db", fields.line_db,
                 "ship the station's records to the line's PostgreSQL database (a libpq connection string or URI; "
                 "as VEK_LINE_DB)")
      ->type_name("URL");
  app.add_option("--nv-window", fields.nv_window,
                 "NV requests in flight at once in the backup and the restore: 1 (the default, one at a time) to 16, "
                 "or auto (from 1, doubling while the module keeps up, halving when it drops one)")
      ->type_name("N|auto")
      ->check(CLI::Validator(
          [](std::string& text) {
            return vek::Session::IsNvWindow(text) ? std::string() : "--nv-window expects 1 to 16 or auto, not " + Quoted(text);
          },
          "", "nv-window"));
}

void AddStationDbChoice(CLI::App& app, std::string& station_db, bool& no_station_db, bool every_job) {
  const std::string records = every_job ? "every job's record" : "the job's record";
  auto* keep = app.add_option("--station-db", station_db,
                              "keep " + records + " in this SQLite database, made when missing (as VEK_STATION_DB; "
                              "default $XDG_DATA_HOME/vek/station.db); not with --no-station-db")
                   ->type_name("FILE");
  app.add_flag("--no-station-db", no_station_db,
               std::string("keep no record of ") + (every_job ? "the jobs" : "the job") +
                   " (and ship none to the line database); not with --station-db")
      ->excludes(keep);
  app.formatter(std::make_shared<HelpInWords>());
}

std::string Quoted(const std::string& text) {
  constexpr size_t kShownLength = 40;
  std::string shown = "\"";
  for (size_t i = 0; i < text.size() && i < kShownLength; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      shown += escaped;
    } else {
      if (c == '"' || c == '\\') shown += '\\';
      shown += static_cast<char>(c);
    }
  }
  if (text.size() > kShownLength) shown += "...";
  return shown + "\"";
}

std::optional<double> PositiveSeconds(const std::string& text) {
  double seconds = 0;
  if (!CLI::detail::lexical_cast(text, seconds)) return std::nullopt;
  if (!(seconds > 0) || !std::isfinite(seconds)) return std::nullopt;
  return seconds;
}

std::optional<unsigned> PositiveCount(const std::string& text, unsigned most) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  const unsigned long value = std::stoul(text);
  if (value < 1 || value > most) return std::nullopt;
  return static_cast<unsigned>(value);
}

}  // namespace vekoptions
