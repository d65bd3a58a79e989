#include "store/line_shipping.h"

#include <vector>

#include "store/record_values.h"

namespace vek {
namespace {

bool MakeShippedTable(StationDb& station, std::string& reason) {
  if (station.Exec("CREATE TABLE IF NOT EXISTS line_shipped (job_id TEXT PRIMARY KEY, shipped_utc TEXT NOT NULL)",
                   reason))
    return true;
  reason = "the station database: " + reason;  // not the line's
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
                           "IN (SELECT job_id FROM line_shipped) ORDER BY started_utc, rowid");
    while (query.Step()) pending.push_back(query.Text(0));
  }
  count.left = static_cast<int>(pending.size());
  for (const std::string& id : pending) {
    if (std::chrono::steady_clock::now() > deadline) return count;
    const std::optional<StationJobRow> row = ReadJobRow(station, id);
    if (!row) continue;
    if (!line.Ship(*row, JobNvBackups(station, id), reason)) return count;
    StationStatement mark(station, "INSERT OR IGNORE INTO line_shipped (job_id, shipped_utc) VALUES (?1, ?2)");
    mark.Bind(1, id).Bind(2, UtcText(std::chrono::system_clock::now()));
    if (!mark.Done()) {
      reason = "the station database: " + station.Error();
      return count;
    }
    ++count.shipped;
    --count.left;
  }
  return count;
}

}  // namespace vek
