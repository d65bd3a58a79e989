#include "store/line_shipping.h"

#include <vector>

#include "store/record_values.h"

namespace vek {
namespace {

bool MakeShippedTable(StationDb& station, std::string& reason) {
  return station.Exec("CREATE TABLE IF NOT EXISTS line_shipped (job_id TEXT PRIMARY KEY, shipped_utc TEXT NOT NULL)",
                      reason);
}

// The values of `table`'s rows `where` says, by column name.
std::vector<RecordRow> StationRows(StationDb& station, const RecordTable& table, const std::string& where,
                                   const std::string& value) {
  const std::string sql = "SELECT " + ColumnNames(table, RecordDb::kStation) + " FROM " + table.name + " " + where;
  StationStatement query(station, sql.c_str());
  query.Bind(1, value);
  std::vector<RecordRow> rows;
  while (query.Step()) rows.push_back(query.Row());
  return rows;
}

}  // namespace

ShippingCount ShipPending(StationDb& station, LineDb& line, std::string& reason,
                          std::chrono::steady_clock::time_point deadline) {
  ShippingCount count;
  if (!MakeShippedTable(station, reason)) return count;
  std::vector<std::string> pending;
  {
    StationStatement query(station,
                           "SELECT id FROM jobs WHERE result <> 'running' AND id NOT IN (SELECT job_id FROM "
                           "line_shipped) ORDER BY started_utc, rowid");
    while (query.Step()) pending.push_back(query.Text(0));
  }
  count.left = static_cast<int>(pending.size());
  for (const std::string& id : pending) {
    if (std::chrono::steady_clock::now() > deadline) return count;
    const std::vector<RecordRow> job = StationRows(station, JobsTable(), "WHERE id = ?1", id);
    if (job.empty()) continue;
    StationJobRow row = JobRowOf(job[0]);
    for (const RecordRow& file : StationRows(station, ImageFilesTable(), "WHERE job_id = ?1 ORDER BY position", id))
      row.files.push_back(ImageFileOf(file));
    std::vector<StationNvBackup> backups;
    for (const RecordRow& backup : StationRows(station, NvBackupsTable(), "WHERE job_id = ?1", id))
      backups.push_back(NvBackupOf(backup));
    if (!line.Ship(row, backups, reason)) return count;
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
