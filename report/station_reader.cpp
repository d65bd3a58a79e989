#include "report/station_reader.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <cstdlib>
#include <fstream>

namespace vekreport {
namespace {

std::string ThisHost() {
  char name[256] = {};
  return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

std::string ThisBoot() {
  std::ifstream file("/proc/sys/kernel/random/boot_id");
  std::string id;
  std::getline(file, id);
  return id;
}

bool ProcessLives(const std::string& pid_text) {
  char* end = nullptr;
  const long pid = std::strtol(pid_text.c_str(), &end, 10);
  if (pid <= 0 || end == pid_text.c_str() || *end != '\0') return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// A date alone means from its first second on.
std::string SinceText(const std::string& since) {
  if (since.size() == 10) return since + "T00:00:00Z";
  return since;
}

}  // namespace

std::string JobRow::Column(const std::string& name) const {
  for (const Cell& cell : columns)
    if (cell.name == name) return cell.text;
  return {};
}

std::string ShownResult(const std::string& result, const std::string& station, const std::string& pid,
                        const std::string& boot_id) {
  if (result != "running" || station != ThisHost()) return result;
  if (boot_id != ThisBoot() || !ProcessLives(pid)) return "interrupted";
  return result;
}

std::vector<JobRow> StationReader::Jobs(const JobFilter& filter) {
  vek::StationStatement query(
      db_,
      "SELECT * FROM jobs WHERE (?1 IS NULL OR imei = ?1 OR meid = ?1) AND (?2 IS NULL OR image_set_sha256 = ?2) "
      "AND (?3 IS NULL OR started_utc >= ?3) ORDER BY started_utc DESC, rowid DESC");
  query.Bind(1, filter.module).Bind(2, filter.image_set).Bind(3, filter.since.empty() ? "" : SinceText(filter.since));
  std::vector<JobRow> rows;
  const int columns = query.ColumnCount();
  while (query.Step()) {
    JobRow row;
    for (int i = 0; i < columns; ++i)
      row.columns.push_back({query.ColumnName(i), query.Text(i), query.IsNull(i), query.IsNumber(i)});
    for (Cell& cell : row.columns)
      if (cell.name == "result")
        cell.text = ShownResult(cell.text, row.Column("station"), row.Column("pid"), row.Column("boot_id"));
    const std::string result = row.Column("result");
    if (filter.failed && result != "failed" && result != "aborted" && result != "interrupted") continue;
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<NvBackupRow> StationReader::NvBackups(const std::string& module) {
  vek::StationStatement query(db_,
                              "SELECT sha256, module, job_id, taken_utc, records, first_of_module, length(bytes) "
                              "FROM nv_backups WHERE module = ?1 ORDER BY taken_utc DESC, rowid DESC");
  query.Bind(1, module);
  std::vector<NvBackupRow> rows;
  while (query.Step())
    rows.push_back({query.Text(0), query.Text(1), query.Text(2), query.Text(3), query.Integer(4), query.Integer(5) != 0,
                    query.Integer(6)});
  return rows;
}

std::optional<std::vector<uint8_t>> StationReader::NvBytes(const std::string& module, bool first,
                                                           const std::string& sha256) {
  vek::StationStatement query(db_,
                              "SELECT bytes FROM nv_backups WHERE module = ?1 AND (?2 = 0 OR first_of_module = 1) "
                              "AND (?3 IS NULL OR sha256 = ?3) ORDER BY taken_utc DESC, rowid DESC LIMIT 1");
  query.Bind(1, module).Bind(2, static_cast<int64_t>(first ? 1 : 0)).Bind(3, sha256);
  if (!query.Step()) return std::nullopt;
  return query.Blob(0);
}

Summary StationReader::Summarise(const std::string& since) {
  JobFilter filter;
  filter.since = since;
  Summary summary;
  for (const JobRow& row : Jobs(filter)) {
    const std::string result = row.Column("result");
    ++summary.by_result[result];
    if (result == "failed" || result == "aborted" || result == "interrupted") {
      const std::string step = row.Column("failed_step");
      ++summary.failed_by_step[step.empty() ? "(none)" : step];
    }
    const std::string product = row.Column("product");
    ++summary.by_product[product.empty() ? "(unknown)" : product];
    ++summary.by_station[row.Column("station")];
  }
  return summary;
}

}  // namespace vekreport
