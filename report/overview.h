// The line at a glance: what the overview page shows and its JSON gives, asked
// of either database with the same questions. Times are UTC, as stored.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "report/record_reader.h"

namespace vekreport {

// Whole UTC days [from, to): the last day (`today`), the last 7 or 30 days
// (today among them), or the days `from`..`to` of a range.
struct Period {
  std::string name;  // "today", "7d", "30d" or "range"
  std::string first_day, last_day;  // "2026-12-09", both within the period
  std::string from, to;  // "2026-12-03T00:00:00Z", "2026-12-10T00:00:00Z"
};

// A range spans one year at most: the longest a page asks of the database.
inline constexpr int kLongestRangeDays = 366;

// The period a page's address names (`period`, or `from` and `to` days); the
// last 7 days when it names none; nothing and `why` for a period it cannot be.
std::optional<Period> PeriodOf(const std::map<std::string, std::string>& query,
                               std::chrono::system_clock::time_point now, std::string& why);

struct ResultCounts {
  std::string label;  // the hour ("2026-12-09T13") or the day ("2026-12-09")
  std::map<std::string, int64_t> by_result;
};

// Finished: every result but running (and no_job, where no module was there).
struct Yield {
  std::string name;
  int64_t finished = 0, succeeded = 0;
};

struct Overview {
  Period period;
  std::vector<ResultCounts> hours;  // the period's last day, hour by hour
  std::vector<ResultCounts> days;   // the 30 days that end with the period
  std::vector<Yield> by_station, by_product;              // over the period, by name
  std::vector<std::pair<std::string, int64_t>> failures;  // by step, the most first
  std::vector<std::pair<std::string, double>> median_s;   // a succeeded job's seconds, by station
  int64_t jobs = 0, finished = 0, succeeded = 0;          // over the period
};

// The results in the order the charts stack them, the good first.
const std::vector<std::string>& ResultOrder();

// The overview of `period`; error() of `reader` says when a question failed.
Overview AskOverview(RecordReader& reader, const Period& period);

nlohmann::ordered_json OverviewJson(const Overview& overview);

}  // namespace vekreport
