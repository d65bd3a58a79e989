#include "store/line_shipping.h"

#include <vector>

namespace vek {
namespace {

bool MakeShippedTable(StationDb& station, std::string& reason) {
  return station.Exec("CREATE TABLE IF NOT EXISTS line_shipped (job_id TEXT PRIMARY KEY, shipped_utc TEXT NOT NULL)",
                      reason);
}

StationJobRow ReadRow(StationDb& station, StationStatement& job) {
  StationJobRow row;
  row.id = job.Text(0);
  row.started_utc = job.Text(1);
  row.ended_utc = job.Text(2);
  row.station = job.Text(3);
  row.program = job.Text(4);
  row.vek_version = job.Text(5);
  row.usb_path = job.Text(6);
  row.port = job.Text(7);
  row.imei = job.Text(8);
  row.meid = job.Text(9);
  row.product = job.Text(10);
  row.version_before = job.Text(11);
  row.version_after = job.Text(12);
  row.image_set_sha256 = job.Text(13);
  if (!job.IsNull(14)) row.nv_records = job.Integer(14);
  if (!job.IsNull(15)) row.nv_refused = job.Integer(15);
  row.result = job.Text(16);
  row.failed_step = job.Text(17);
  row.text = job.Text(18);
  if (!job.IsNull(19)) row.exit_status = job.Integer(19);
  row.duration_s = job.Real(20);
  row.folder = job.Text(21);
  row.log = job.Text(22);
  StationStatement files(station, "SELECT name, size, sha256 FROM image_files WHERE job_id = ?1 ORDER BY position");
  files.Bind(1, row.id);
  while (files.Step())
    row.files.push_back({files.Text(0), static_cast<uint64_t>(files.Integer(1)), files.Text(2)});
  return row;
}

std::vector<StationNvBackup> BackupsOf(StationDb& station, const std::string& job_id) {
  StationStatement query(station,
                         "SELECT sha256, module, job_id, taken_utc, records, bytes FROM nv_backups WHERE job_id = ?1");
  query.Bind(1, job_id);
  std::vector<StationNvBackup> backups;
  while (query.Step())
    backups.push_back({query.Text(0), query.Text(1), query.Text(2), query.Text(3), query.Integer(4), query.Blob(5)});
  return backups;
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
    StationJobRow row;
    {
      StationStatement job(station,
                           "SELECT id, started_utc, ended_utc, station, program, vek_version, usb_path, port, imei, "
                           "meid, product, version_before, version_after, image_set_sha256, nv_records, nv_refused, "
                           "result, failed_step, text, exit_status, duration_s, folder, log FROM jobs WHERE id = ?1");
      job.Bind(1, id);
      if (!job.Step()) continue;
      row = ReadRow(station, job);
    }
    if (!line.Ship(row, BackupsOf(station, id), reason)) return count;
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
