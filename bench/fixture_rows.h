// The rows of a big line's records, made up for the report pages' benchmark and
// their browser test: the jobs of many stations over months, the NV backups of a
// few modules. The same seed gives the same rows on every machine: each choice is
// std::mt19937_64's next number taken modulo a count, never a std::*_distribution,
// whose numbers differ between standard libraries.
//
// What the rows are made to show (the pages must make it visible): station-03
// fails about one job in five where the others fail one in sixteen, station-07
// is a quarter slower, the image set of ALPHA-100 is followed by a newer one at
// 55 % of the period, and most failures are in the restore of the NV items.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "images/image_fingerprint.h"
#include "store/record_schema.h"
#include "store/station_rows.h"

namespace fixture {

inline constexpr int64_t kDaySeconds = 86400;
// No job starts in the last ten minutes before `now`: every job has ended by then.
inline constexpr int64_t kQuietEndSeconds = 600;

struct Settings {
  uint64_t jobs = 0;
  int stations = 20;
  int days = 365;
  uint64_t seed = 1;
  int64_t now = 0;  // seconds since the epoch, UTC
  int backups = 20;  // modules with an NV backup
};

// A bijection of 64-bit numbers that scatters neighbours (splitmix64's finaliser):
// distinct inputs give distinct outputs, so ids made from it never collide.
inline uint64_t Scatter(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

struct Product {
  const char* name;
  uint64_t tac;                 // the first eight digits of its IMEIs
  const char* factory_version;  // what a module reports before its first job
};
inline constexpr std::array<Product, 3> kProducts{{{"ALPHA-100", 35693803, "A100_01.09.02"},
                                                  {"BRAVO-200", 35290611, "B200_04.07.00"},
                                                  {"CHARLIE-300", 86450004, "C300_01.02.05"}}};

struct ImageSet {
  size_t product;
  const char* version;  // what a module reports after it
  double from, to;      // the share of the period it is used in
};
inline constexpr std::array<ImageSet, 4> kImageSets{{{0, "A100_02.01.07", 0.0, 0.55},
                                                    {0, "A100_02.02.01", 0.55, 1.01},
                                                    {1, "B200_05.00.13", 0.0, 1.01},
                                                    {2, "C300_01.04.00", 0.0, 1.01}}};

// The steps of a job in their order, with how often a job that did not succeed
// stopped in each (per hundred: the restore of the NV items most, then the
// images, then the connection), and how far into a job each step ends.
struct Step {
  const char* name;
  int weight;
  double ends_at;  // share of a whole job's time
};
inline constexpr std::array<Step, 12> kSteps{{{"connect", 15, 0.03},
                                             {"backup", 6, 0.15},
                                             {"switch", 5, 0.20},
                                             {"programmer", 4, 0.23},
                                             {"partition", 3, 0.25},
                                             {"image", 20, 0.60},
                                             {"erase_efs", 3, 0.62},
                                             {"reset", 9, 0.72},
                                             {"restore", 28, 0.90},
                                             {"identity", 3, 0.92},
                                             {"restore_defaults", 2, 0.95},
                                             {"normal_reset", 2, 1.00}}};
inline constexpr size_t kBackupStep = 1;
inline constexpr size_t kImageStep = 5;
inline constexpr size_t kRestoreStep = 8;

inline constexpr int kFailingStation = 2;  // station-03
inline constexpr int kSlowStation = 6;     // station-07

inline std::string StationName(int station) {
  char name[32];
  std::snprintf(name, sizeof name, "station-%02d", station + 1);
  return name;
}

inline size_t ProductOf(uint64_t module) {
  const uint64_t share = Scatter(module ^ 0x70726f64ULL) % 10;
  return share < 5 ? 0 : share < 8 ? 1 : 2;
}

// 15 digits: the product's TAC, the module's serial, and the Luhn check digit.
// The first million modules' serials are shuffled (a multiplier prime to 10^6
// maps them one to one), so neighbouring modules do not look numbered; the
// others' lie above every TAC's million, and no two modules share an IMEI.
inline std::string ImeiOf(uint64_t module) {
  const uint64_t serial = module < 1000000 ? (module * 388277 + 104729) % 1000000 : module;
  std::string digits = std::to_string(kProducts[ProductOf(module)].tac * 1000000 + serial);
  int sum = 0;
  for (size_t i = 0; i < digits.size(); ++i) {
    int digit = digits[digits.size() - 1 - i] - '0';
    // Every second digit from the right is doubled, the check digit's neighbour first.
    if (i % 2 == 0 && (digit *= 2) > 9) digit -= 9;
    sum += digit;
  }
  return digits + static_cast<char>('0' + (10 - sum % 10) % 10);
}

inline std::string Sha256Of(const void* data, size_t size) {
  vek::Sha256Hasher hasher;
  hasher.Update({static_cast<const uint8_t*>(data), size});
  return vek::HexOf(hasher.Finish());
}

// A fixed digest for each set: of its own words, so it is the same everywhere.
inline std::string ImageSetSha256(size_t set) {
  const std::string words = std::string("image set ") + kImageSets[set].version;
  return Sha256Of(words.data(), words.size());
}

inline std::string UtcText(int64_t seconds) {
  return vek::UtcText(std::chrono::system_clock::time_point(std::chrono::seconds(seconds)));
}

// Whom each job is for, and which jobs take the NV backups kept.
struct Plan {
  struct Backup {
    uint64_t job;
    uint32_t module;
    bool newer;  // a module's second backup, from its newest job
  };
  uint64_t pool = 0;              // modules
  std::vector<int64_t> starts;    // each job's start, in order
  std::vector<uint32_t> modules;  // each job's module
  std::vector<Backup> backups;    // by job
  std::vector<uint32_t> backed_modules;
  int64_t first_day = 0;  // the period's first second
};

inline Plan MakePlan(const Settings& settings) {
  Plan plan;
  std::mt19937_64 random(Scatter(settings.seed));
  plan.pool = std::max<uint64_t>(1, settings.jobs / 3);
  plan.first_day = settings.now - settings.days * kDaySeconds;
  const uint64_t span = static_cast<uint64_t>(settings.days * kDaySeconds - kQuietEndSeconds);
  plan.starts.resize(settings.jobs);
  for (auto& start : plan.starts) start = plan.first_day + static_cast<int64_t>(random() % span);
  std::sort(plan.starts.begin(), plan.starts.end());
  plan.modules.resize(settings.jobs);
  for (auto& module : plan.modules) module = static_cast<uint32_t>(random() % plan.pool);

  // The modules kept with backups are the first ones with two jobs or more,
  // so that every second of them has a newer backup from a later job.
  constexpr uint64_t kNone = UINT64_MAX;
  std::vector<uint64_t> first(plan.pool, kNone), last(plan.pool, kNone);
  for (uint64_t job = 0; job < settings.jobs; ++job) {
    const uint32_t module = plan.modules[job];
    if (first[module] == kNone) first[module] = job;
    last[module] = job;
  }
  for (uint32_t module = 0; module < plan.pool && std::ssize(plan.backed_modules) < settings.backups; ++module) {
    if (first[module] == kNone || first[module] == last[module]) continue;
    const bool with_newer = plan.backed_modules.size() % 2 == 1;
    plan.backed_modules.push_back(module);
    plan.backups.push_back({first[module], module, false});
    if (with_newer) plan.backups.push_back({last[module], module, true});
  }
  std::sort(plan.backups.begin(), plan.backups.end(), [](const auto& a, const auto& b) { return a.job < b.job; });
  return plan;
}

// One row of a table, a value for each of its columns in the table's order;
// each database takes the columns it keeps (vek::ColumnsIn).
struct TableRow {
  explicit TableRow(const vek::RecordTable& of) : table(of), values(of.columns.size()) {}
  // Where column `name` is; a column that the schema lost is a fault of this program.
  size_t At(const char* name) const {
    for (size_t i = 0; i < table.columns.size(); ++i)
      if (std::string_view(table.columns[i].name) == name) return i;
    std::fprintf(stderr, "bench_record_fixture: the table %s has no column %s\n", table.name, name);
    std::exit(1);
  }
  const vek::RecordTable& table;
  std::vector<vek::RecordValue> values;  // a column this program does not know stays NULL
};

// A backup taken by a job of the fixture, as the backups' rows need it.
struct TakenBackup {
  uint32_t module;
  bool newer;
  std::string job_id, taken_utc, station;
};

}  // namespace fixture
