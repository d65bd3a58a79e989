#include "report/overview.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "records/job_result.h"
#include "report/query_values.h"

namespace vekreport {
namespace {

using namespace std::chrono;
namespace result_word = vek::result_word;

std::string DayText(sys_days day) {
  const year_month_day date{day};
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()));
  return text;
}

std::optional<sys_days> DayOf(const std::string& text) {
  const std::optional<std::string> day = SinceOf(text);
  if (!day || day->size() != 10) return std::nullopt;
  return sys_days{year_month_day{year(std::atoi(day->substr(0, 4).c_str())),
                                 month(static_cast<unsigned>(std::atoi(day->substr(5, 2).c_str()))),
                                 std::chrono::day(static_cast<unsigned>(std::atoi(day->substr(8, 2).c_str())))}};
}

std::string Midnight(sys_days day) { return DayText(day) + "T00:00:00Z"; }

Period Days(std::string name, sys_days first, sys_days last) {
  return {std::move(name), DayText(first), DayText(last), Midnight(first), Midnight(last + days(1))};
}

int64_t Number(const std::optional<std::string>& cell) { return cell ? std::atoll(cell->c_str()) : 0; }

bool Finished(const std::string& result) {
  return result != result_word::kRunning && result != result_word::kNoJob;
}

// Counts by hour or day between `from` and `to`: SQL's bucket of `width`
// characters of started_utc, with each running row's process to judge it by.
std::vector<ResultCounts> CountsBy(RecordReader& reader, int width, const std::vector<std::string>& labels,
                                   const std::string& from, const std::string& to) {
  const std::string bucket = "substr(started_utc, 1, " + std::to_string(width) + ")";
  const auto rows = reader.Ask("SELECT " + bucket + ", result, " + reader.RunningProcess() +
                                   ", count(*) FROM jobs WHERE started_utc >= $1 AND started_utc < $2 "
                                   "GROUP BY 1, 2, 3",
                               {from, to});
  std::vector<ResultCounts> counts;
  for (const std::string& label : labels) counts.push_back({label, {}});
  for (const auto& row : rows) {
    const auto at = std::find_if(counts.begin(), counts.end(),
                                 [&](const ResultCounts& c) { return row[0] && c.label == *row[0]; });
    if (at != counts.end()) at->by_result[RunningResult(row[1].value_or(""), row[2])] += Number(row[3]);
  }
  return counts;
}

std::vector<Yield> Sorted(const std::map<std::string, Yield>& by_name) {
  std::vector<Yield> sorted;
  for (const auto& [name, yield] : by_name) sorted.push_back(yield);
  return sorted;
}

}  // namespace

std::optional<Period> PeriodOf(const std::map<std::string, std::string>& query, system_clock::time_point now,
                               std::string& why) {
  const sys_days today = floor<days>(now);
  const auto named = query.find("period");
  const std::string name = named == query.end() ? "" : named->second;
  const bool range = query.contains("from") || query.contains("to");
  if (name == "today") return Days(name, today, today);
  if (name == "30d") return Days(name, today - days(29), today);
  if ((name.empty() && !range) || name == "7d") return Days("7d", today - days(6), today);
  if (!name.empty() && name != "range") {
    why = "the period is today, 7d, 30d or range (with from and to)";
    return std::nullopt;
  }
  const auto from = DayOf(query.contains("from") ? query.at("from") : "");
  const auto to = DayOf(query.contains("to") ? query.at("to") : "");
  if (!from || !to) {
    why = "a range needs its first and last day (from=2026-12-01&to=2026-12-07)";
    return std::nullopt;
  }
  if (*to < *from || *to - *from >= days(kLongestRangeDays)) {
    why = "a range runs from its first day to its last, one year at most";
    return std::nullopt;
  }
  return Days("range", *from, *to);
}

const std::vector<std::string>& ResultOrder() {
  static const std::vector<std::string> order{result_word::kSucceeded, result_word::kFailed, result_word::kAborted,
                                              result_word::kInterrupted, result_word::kRunning, result_word::kNoJob};
  return order;
}

Overview AskOverview(RecordReader& reader, const Period& period) {
  Overview overview;
  overview.period = period;
  const sys_days last = *DayOf(period.last_day);
  std::vector<std::string> hours, days_shown;
  for (int hour = 0; hour < 24; ++hour) {
    char text[8];
    std::snprintf(text, sizeof text, "T%02d", hour);
    hours.push_back(period.last_day + text);
  }
  for (int back = 29; back >= 0; --back) days_shown.push_back(DayText(last - days(back)));
  overview.hours = CountsBy(reader, 13, hours, Midnight(last), period.to);
  overview.days = CountsBy(reader, 10, days_shown, Midnight(last - days(29)), period.to);

  std::map<std::string, Yield> stations, products;
  std::map<std::string, int64_t> failures;
  const auto rows = reader.Ask(std::string("SELECT station, product, result, failed_step, ") + reader.RunningProcess() +
                                   ", count(*) FROM jobs WHERE started_utc >= $1 AND started_utc < $2 "
                                   "GROUP BY 1, 2, 3, 4, 5",
                               {period.from, period.to});
  for (const auto& row : rows) {
    const std::string result = RunningResult(row[2].value_or(""), row[4]);
    const int64_t count = Number(row[5]);
    overview.jobs += count;
    if (Unsuccessful(result)) failures[row[3].value_or("(none)")] += count;
    if (!Finished(result)) continue;
    const bool succeeded = result == result_word::kSucceeded;
    for (auto [by, name] : {std::pair{&stations, row[0].value_or("")}, std::pair{&products, row[1].value_or("(unknown)")}}) {
      Yield& yield = (*by)[name];
      yield.name = name;
      yield.finished += count;
      if (succeeded) yield.succeeded += count;
    }
    overview.finished += count;
    if (succeeded) overview.succeeded += count;
  }
  overview.by_station = Sorted(stations);
  overview.by_product = Sorted(products);
  overview.failures.assign(failures.begin(), failures.end());
  std::stable_sort(overview.failures.begin(), overview.failures.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });

  overview.median_s = reader.MedianSeconds(period.from, period.to);
  return overview;
}

nlohmann::ordered_json OverviewJson(const Overview& overview) {
  using json = nlohmann::ordered_json;
  auto counts = [](const std::vector<ResultCounts>& buckets) {
    json list = json::array();
    for (const ResultCounts& bucket : buckets) list.push_back({{"at", bucket.label}, {"jobs", bucket.by_result}});
    return list;
  };
  auto yields = [](const std::vector<Yield>& rows) {
    json list = json::array();
    for (const Yield& row : rows)
      list.push_back({{"name", row.name}, {"finished", row.finished}, {"succeeded", row.succeeded}});
    return list;
  };
  json failures = json::array(), medians = json::array();
  for (const auto& [step, count] : overview.failures) failures.push_back({{"step", step}, {"jobs", count}});
  for (const auto& [station, seconds] : overview.median_s) medians.push_back({{"station", station}, {"seconds", seconds}});
  const Period& period = overview.period;
  return {{"period", {{"name", period.name}, {"first_day", period.first_day}, {"last_day", period.last_day},
                      {"from", period.from}, {"to", period.to}}},
          {"jobs", overview.jobs},
          {"finished", overview.finished},
          {"succeeded", overview.succeeded},
          {"jobs_per_hour", counts(overview.hours)},
          {"jobs_per_day", counts(overview.days)},
          {"yield_by_station", yields(overview.by_station)},
          {"yield_by_product", yields(overview.by_product)},
          {"failures_by_step", failures},
          {"median_seconds_by_station", medians}};
}

}  // namespace vekreport
