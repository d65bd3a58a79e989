#include "factory/factory_options.h"

#include <CLI/CLI.hpp>

#include <sstream>

#include "events/exit_status.h"
#include "factory/factory_options_file.h"
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

// One parse of `words` (the program's name first): its exit status, if any, and
// the long options an options file may set, with those the words gave.
struct Parse {
  std::optional<int> status;
  std::map<std::string, OptionKey> keys;
};

Parse ParseWords(const std::vector<std::string>& words, FactoryOptions& options, std::ostream& err) {
  std::vector<const char*> argv;
  for (const std::string& word : words) argv.push_back(word.c_str());
  CLI::App app{"vek-factory: updates every module plugged in, one vek-cli per module, in the current directory."};
  app.set_version_flag("--version", "vek-factory " VEK_VERSION);
  NumberText jobs{"--jobs", "a whole number of jobs from 1 to 256"};
  NumberText count{"--count", "a whole number of jobs from 1 to 1000000"};
  NumberText timeout{"--timeout", "a number of seconds greater than 0"};
  vekoptions::AddJobChoices(
      app, {options.port_map, options.images, options.product, options.restore_default, options.erase_on_mismatch,
                options.restore_from_vault, options.line_db, options.nv_window},
      "image folder for every module (default: the current directory)");
  jobs.option = app.add_option("--jobs", jobs.text, "at most N jobs at once (default: every module)")->type_name("N");
  app.add_option("--report", options.report, "append one JSON line per finished job to FILE")->type_name("FILE");
  count.option = app.add_option("--count", count.text, "end after N jobs have finished")->type_name("N");
  timeout.option =
      app.add_option("--timeout", timeout.text, "end when no module has appeared for SECONDS (greater than 0)")
          ->type_name("SECONDS");
  vekoptions::AddStationDbChoice(app, options.station_db, options.no_station_db, true);
  app.add_flag("--journal", options.journal,
               "write each finished job to the systemd journal (default: when the output goes to the journal, as "
               "under the service)");
  app.add_option("--http", options.http,
                 "show the tray as a live page at http://ADDR:PORT/ (read-only; e.g. 127.0.0.1:8750)")
      ->type_name("ADDR:PORT");
  auto* config = app.add_option("--config", options.config,
                                "read more options from FILE, one \"key = value\" a line (the command line wins)")
                     ->type_name("FILE");
  Parse parse;
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::ParseError& error) {
    for (const NumberText* number : {&jobs, &count, &timeout})
      if (std::string_view(error.what()).find(number->name) != std::string_view::npos &&
          dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
        err << "vek-factory: " << number->name << " expects " << number->expects << "\n";
        parse.status = vekevents::kExitUsage;
        return parse;
      }
    const int status = app.exit(error, std::cout, err);
    parse.status = status == 0 ? vekevents::kExitSucceeded : vekevents::kExitUsage;
    return parse;
  }
  const auto refuse = [&](const NumberText& number) {
    err << "vek-factory: " << number.name << " expects " << number.expects << ", not " << vekoptions::Quoted(number.text)
        << "\n";
    return vekevents::kExitUsage;
  };
  if (jobs.option->count() > 0 && !(options.jobs = vekoptions::PositiveCount(jobs.text, kMostJobs)))
    parse.status = refuse(jobs);
  else if (count.option->count() > 0 && !(options.count = vekoptions::PositiveCount(count.text, kMostCount)))
    parse.status = refuse(count);
  else if (timeout.option->count() > 0 && !(options.timeout_seconds = vekoptions::PositiveSeconds(timeout.text)))
    parse.status = refuse(timeout);
  for (const CLI::Option* option : app.get_options()) {
    if (option->get_lnames().empty() || option == config || option == app.get_help_ptr() ||
        option == app.get_version_ptr())
      continue;
    OptionKey key{option->get_expected_max() == 0, option->count() > 0};
    for (const CLI::Option* other : option->get_excludes()) key.on_command_line |= other->count() > 0;
    parse.keys[option->get_lnames().front()] = key;
  }
  return parse;
}

}  // namespace

std::optional<int> ParseFactoryOptions(int argc, char** argv, FactoryOptions& options, std::ostream& err) {
  const std::vector<std::string> words(argv, argv + argc);
  const Parse command_line = ParseWords(words, options, err);
  if (command_line.status || options.config.empty()) return command_line.status;
  // The file's words go first: what the command line gives is left out of them.
  const std::string path = options.config;
  std::string error;
  std::optional<std::vector<std::string>> file_words = ReadOptionsFile(path, command_line.keys, error);
  if (!file_words) {
    err << "vek-factory: " << error << "\n";
    return vekevents::kExitUsage;
  }
  file_words->insert(file_words->begin(), words.front());
  file_words->insert(file_words->end(), words.begin() + 1, words.end());
  options = FactoryOptions{};
  std::ostringstream said;
  const Parse both = ParseWords(*file_words, options, said);
  // Only the file's values can be wrong now: the message names it.
  std::string text = said.str();
  if (text.rfind("vek-factory: ", 0) == 0) text.erase(0, std::string("vek-factory: ").size());
  if (both.status) err << "vek-factory: " << path << ": " << text << (text.empty() || text.back() != '\n' ? "\n" : "");
  return both.status;
}

}  // namespace vekfactory
