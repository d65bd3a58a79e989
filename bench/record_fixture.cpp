// Makes up a big line's records: N ended jobs of S stations over the last D days,
// and the NV backups of M modules, into a new station database and/or an empty
// line database (both at once get the same rows). The report pages' benchmark and
// their browser test read them.
//
//   bench_record_fixture --jobs N [--stations S=20] [--days D=365] [--seed X=1]
//                        [--now YYYY-MM-DDTHH:MM:SSZ] [--db FILE] [--line-db CONNSTRING]
//                        [--backups M=20]
//
// The rows depend on the arguments only (--now defaults to this second): what
// they hold is told in fixture_rows.h. Standard output: one JSON object saying
// what the pages can be asked about (stations, products, image sets, the modules
// with backups, the first and last start); standard error: what was written where
// and how long it took. Exit status 0 written, 1 not (a file that exists, a line
// database with jobs, a database that failed: nothing is left half written),
// 2 bad arguments.
#include <charconv>
#include <cstdio>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "fixture_jobs.h"
#include "fixture_rows.h"
#include "fixture_sinks.h"

namespace {

constexpr const char* kUsage =
    "usage: bench_record_fixture --jobs N [--stations S] [--days D] [--seed X] [--now YYYY-MM-DDTHH:MM:SSZ] "
    "[--db FILE] [--line-db CONNSTRING] [--backups M]  (--db, --line-db or both)\n";

struct Arguments {
  fixture::Settings settings;
  std::string db, line_db;
};

// A whole decimal number from `low` to `high`, nothing else.
std::optional<uint64_t> Number(const std::string& text, uint64_t low, uint64_t high) {
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low || value > high)
    return std::nullopt;
  return value;
}

// "2026-12-08T16:30:01Z" as seconds since the epoch; a time the calendar does not
// have (February 30th, 25 o'clock) is refused: written back, it would differ.
std::optional<int64_t> UtcSeconds(const std::string& text) {
  std::tm utc{};
  const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc);
  if (end == nullptr || *end != '\0' || utc.tm_year < 100) return std::nullopt;
  const int64_t seconds = timegm(&utc);
  if (fixture::UtcText(seconds) != text) return std::nullopt;
  return seconds;
}

std::optional<Arguments> Parse(int argc, char** argv) {
  Arguments arguments;
  arguments.settings.now = std::time(nullptr);
  bool jobs = false;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (i + 1 >= argc) return std::nullopt;
    const std::string value = argv[++i];
    std::optional<uint64_t> number;
    if (name == "--jobs" && (number = Number(value, 1, 50000000))) {
      arguments.settings.jobs = *number;
      jobs = true;
    } else if (name == "--stations" && (number = Number(value, 1, 999))) {
      arguments.settings.stations = static_cast<int>(*number);
    } else if (name == "--days" && (number = Number(value, 1, 3650))) {
      arguments.settings.days = static_cast<int>(*number);
    } else if (name == "--seed" && (number = Number(value, 0, UINT64_MAX))) {
      arguments.settings.seed = *number;
    } else if (name == "--backups" && (number = Number(value, 0, 10000))) {
      arguments.settings.backups = static_cast<int>(*number);
    } else if (name == "--now" && UtcSeconds(value)) {
      arguments.settings.now = *UtcSeconds(value);
    } else if (name == "--db" && !value.empty()) {
      arguments.db = value;
    } else if (name == "--line-db" && !value.empty()) {
      arguments.line_db = value;
    } else {
      return std::nullopt;
    }
  }
  if (!jobs || (arguments.db.empty() && arguments.line_db.empty())) return std::nullopt;
  return arguments;
}

bool Fail(const std::string& reason) {
  std::fprintf(stderr, "bench_record_fixture: %s\n", reason.c_str());
  return false;
}

// Every sink takes every row of `table`, made by `make(index)` for index 0..count-1.
template <typename Make>
bool WriteTable(const std::vector<std::unique_ptr<fixture::Sink>>& sinks, const vek::RecordTable& table, uint64_t count,
                Make make) {
  std::string reason;
  for (const auto& sink : sinks)
    if (!sink->Begin(table, reason)) return Fail(reason);
  for (uint64_t i = 0; i < count; ++i) {
    const fixture::TableRow& row = make(i);
    for (const auto& sink : sinks)
      if (!sink->Add(row, reason)) return Fail(reason);
  }
  for (const auto& sink : sinks)
    if (!sink->End(reason)) return Fail(reason);
  return true;
}

nlohmann::ordered_json Description(const fixture::Settings& settings, const fixture::Plan& plan) {
  nlohmann::ordered_json description;
  description["jobs"] = settings.jobs;
  description["stations"] = nlohmann::json::array();
  for (int station = 0; station < settings.stations; ++station)
    description["stations"].push_back(fixture::StationName(station));
  description["products"] = nlohmann::json::array();
  for (const auto& product : fixture::kProducts) description["products"].push_back(product.name);
  description["image_sets"] = nlohmann::json::array();
  for (size_t set = 0; set < fixture::kImageSets.size(); ++set)
    description["image_sets"].push_back(fixture::ImageSetSha256(set));
  description["modules_with_backups"] = nlohmann::json::array();
  for (const uint32_t module : plan.backed_modules)
    description["modules_with_backups"].push_back(fixture::ImeiOf(module));
  description["first_started"] = fixture::UtcText(plan.starts.front());
  description["last_started"] = fixture::UtcText(plan.starts.back());
  description["now"] = fixture::UtcText(settings.now);
  description["seed"] = settings.seed;
  return description;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Arguments> arguments = Parse(argc, argv);
  if (!arguments) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const fixture::Settings& settings = arguments->settings;
  const auto start = bench::Clock::now();

  std::vector<std::unique_ptr<fixture::Sink>> sinks;
  std::string reason;
  for (const bool line : {false, true}) {
    const std::string& where = line ? arguments->line_db : arguments->db;
    if (where.empty()) continue;
    const auto opened = bench::Clock::now();
    std::unique_ptr<fixture::Sink> sink;
    if (line) sink = fixture::LineSink::Make(where, reason);
    else sink = fixture::StationSink::Make(where, reason);
    if (!sink) {
      Fail(reason);
      return 1;
    }
    sink->seconds = bench::SecondsSince(opened);
    sinks.push_back(std::move(sink));
  }

  const fixture::Plan plan = fixture::MakePlan(settings);
  fixture::JobMaker jobs(settings, plan);
  std::vector<fixture::TakenBackup> taken;
  std::vector<fixture::BackupRows> backups;
  backups.reserve(plan.backups.size());
  const bool written =
      WriteTable(sinks, vek::JobsTable(), settings.jobs, [&](uint64_t job) -> const fixture::TableRow& {
        return jobs.Make(job, taken);
      }) &&
      WriteTable(sinks, vek::NvBackupsTable(), taken.size(), [&](uint64_t i) -> const fixture::TableRow& {
        return backups.emplace_back(taken[i], settings.seed).backup;
      }) &&
      WriteTable(sinks, vek::NvBackupModulesTable(), backups.size(),
                 [&](uint64_t i) -> const fixture::TableRow& { return backups[i].link; });
  if (!written) return 1;
  // The line commits first: should it fail, the station's file, not committed
  // yet, is removed (should the station's fail after it, the line keeps its rows).
  for (auto sink = sinks.rbegin(); sink != sinks.rend(); ++sink)
    if (!(*sink)->Commit(reason)) {
      Fail(reason);
      return 1;
    }
  for (const auto& sink : sinks)
    if (!sink->Settle(reason)) Fail("the rows are written, but " + reason);

  double in_databases = 0;
  for (const auto& sink : sinks) in_databases += sink->seconds;
  const double all = bench::SecondsSince(start);
  std::fprintf(stderr, "bench_record_fixture: %llu jobs of %d stations over %d days, %zu NV backups of %zu modules; "
               "%.1f s in all, %.1f s of it making the rows\n",
               static_cast<unsigned long long>(settings.jobs), settings.stations, settings.days, backups.size(),
               plan.backed_modules.size(), all, all - in_databases);
  for (const auto& sink : sinks)
    std::fprintf(stderr, "bench_record_fixture: into %s: %.1f s, %.1f MiB\n", sink->Name().c_str(), sink->seconds,
                 static_cast<double>(sink->Bytes()) / (1 << 20));
  std::printf("%s\n", Description(settings, plan).dump().c_str());
  return 0;
}
