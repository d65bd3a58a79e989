#include "store/line_shipping.h"

#include <vector>

#include "store/record_values.h"

namespace vek {
namespace {

bool MakeShippedTable(StationDb& station, std::string& reason) {
  // line_set_aside: the jobs that cannot ship as they are (the line refused what
  // they hold, or an NV backup no longer matches its SHA-256); each would be
  // refused again, so the jobs after it go on without it.
  if (station.Exec("CREATE TABLE IF NOT EXISTS line_shipped (job_id TEXT PRIMARY KEY, shipped_utc TEXT NOT NULL);"
                   "CREATE TABLE IF NOT EXISTS line_set_aside (job_id TEXT PRIMARY KEY, set_aside_utc TEXT NOT NULL, "
                   "reason TEXT NOT NULL)",
                   reason))
    return true;
  reason = "the station database: " + reason;  // not the line's
  return false;
}

bool Mark(StationDb& station, const char* sql, const std::string& id, const std::string& why, std::string& reason) {
  StationStatement mark(station, sql);
  mark.Bind(1, id).Bind(2, UtcText(std::chrono::system_clock::now()));
  if (!why.empty()) mark.Bind(3, why);
  if (mark.Done()) return true;
  reason = "the station database: " + station.Error();
  return false;
}

}  // namespace

ShippingCount ShipPending(StationDb& station, LineDb& line, std::string& reason,
                          std::chrono::steady_clock::time_point deadline) {
  ShippingCount count;
  if (!MakeShippedTable(station, reason)) return count;
  std::vector<std::string> pending;
  {
    // A job whose backup still waits beside it goes once the backup is stored with it.
    StationStatement query(station,
                           "SELECT id FROM jobs WHERE result <> 'running' AND nv_backup IS NOT 'pending' AND id NOT "
                           "IN (SELECT job_id FROM line_shipped) AND id NOT IN (SELECT job_id FROM line_set_aside) "
                           "ORDER BY started_utc, rowid");
    while (query.Step()) pending.push_back(query.Text(0));
  }
  count.left = static_cast<int>(pending.size());
  for (const std::string& id : pending) {
    if (std::chrono::steady_clock::now() > deadline) return count;
    const std::optional<StationJobRow> row = ReadJobRow(station, id);
    if (!row) continue;
    std::string refused, why;
    bool row_refused = false;
    const std::vector<StationNvBackup> backups = JobNvBackups(station, id, &refused);
    if (refused.empty() && !line.Ship(*row, backups, why, &row_refused) && !row_refused) {
      reason = why;
      return count;
    }
    if (!refused.empty() || row_refused) {
      // The line would refuse it again: it waits at the station, named, and the rest go on.
      const std::string words = !refused.empty() ? refused : "the line database: " + why;
      if (!Mark(station, "INSERT OR IGNORE INTO line_set_aside (job_id, set_aside_utc, reason) VALUES (?1, ?2, ?3)",
                id, words, reason))
        return count;
      count.set_aside.push_back("job " + id + " set aside, not shipped: " + words);
      --count.left;
      continue;
    }
    if (!Mark(station, "INSERT OR IGNORE INTO line_shipped (job_id, shipped_utc) VALUES (?1, ?2)", id, {}, reason))
      return count;
    ++count.shipped;
    --count.left;
  }
  return count;
}

}  // namespace vek
