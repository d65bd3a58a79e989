// What vek-cli's and vek-factory's command lines share: the job's choices, and
// how a number option is read and a bad one told in plain words (one line
// naming the option, what it expects and what it got).
#pragma once

#include <optional>
#include <string>

namespace CLI {
class App;
}

namespace vekoptions {

// Where the choices of a job go.
struct JobChoiceFields {
  std::string& port_map;
  std::string& images;
  std::string& product;
  bool& restore_default;
  bool& erase_on_mismatch;
  bool& restore_from_vault;
  std::string& line_db;
  std::string& nv_window;
};

// --port-map, --images (described by `images_help`), --product (one of the
// supported models), --restore-default, --erase-on-mismatch,
// --restore-from-vault, --line-db and --nv-window (1 to 16 or auto, checked).
void AddJobChoices(CLI::App& app, const JobChoiceFields& fields, const char* images_help);

// --station-db FILE and --no-station-db, which exclude each other; `every_job`:
// vek-factory's, for every job it runs. Their help says so in their words: the
// app's help is HelpInWords (options/help_in_words.h).
void AddStationDbChoice(CLI::App& app, std::string& station_db, bool& no_station_db, bool every_job);

// An option's text as an error line shows it: quoted, control characters
// escaped, cut at 40 characters.
std::string Quoted(const std::string& text);

// The seconds of a text read as any number option is; nothing unless it is a
// finite number greater than 0.
std::optional<double> PositiveSeconds(const std::string& text);

// A whole number from 1 to `most`; nothing for anything else ("2.5", "0", "x").
std::optional<unsigned> PositiveCount(const std::string& text, unsigned most);

}  // namespace vekoptions
