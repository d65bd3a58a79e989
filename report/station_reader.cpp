#include "report/station_reader.h"

#include <algorithm>
#include <map>

#include "store/nv_backup_proof.h"

namespace vekreport {

void StationReader::Check(const vek::StationStatement& query) {
  if (query.Failed() && error_.empty()) error_ = db_.Error();
}

std::vector<JobRow> StationReader::StoredJobs(const JobFilter& filter) {
  const JobsQuery asked = JobsQueryOf(filter, "rowid DESC");
  std::string sql = asked.sql;
  std::replace(sql.begin(), sql.end(), '$', '?');
  vek::StationStatement query(db_, sql.c_str());
  for (size_t i = 0; i < asked.values.size(); ++i) query.Bind(static_cast<int>(i + 1), asked.values[i]);
  std::vector<JobRow> rows;
  const int columns = query.ColumnCount();
  while (query.Step()) {
    JobRow row;
    for (int i = 0; i < columns; ++i)
      row.columns.push_back({query.ColumnName(i), query.Text(i), query.IsNull(i), query.IsNumber(i)});
    rows.push_back(std::move(row));
  }
  Check(query);
  return rows;
}

std::vector<RecordReader::Cells> StationReader::Ask(const std::string& sql, const std::vector<std::string>& values) {
  // SQLite numbers its values ?1, ?2, ...; no question's text holds a '$' of its own.
  std::string text = sql;
  std::replace(text.begin(), text.end(), '$', '?');
  vek::StationStatement query(db_, text.c_str());
  for (size_t i = 0; i < values.size(); ++i) query.Bind(static_cast<int>(i + 1), values[i]);
  std::vector<Cells> rows;
  const int columns = query.ColumnCount();
  while (query.Step()) {
    Cells row;
    for (int i = 0; i < columns; ++i) row.push_back(query.IsNull(i) ? std::nullopt : std::optional(query.Text(i)));
    rows.push_back(std::move(row));
  }
  Check(query);
  return rows;
}

std::vector<std::pair<std::string, double>> StationReader::MedianSeconds(const std::string& from,
                                                                        const std::string& to) {
  // SQLite has no median, and sorting in SQL costs seconds on a long period:
  // each station's times are gathered and the middle found in place.
  vek::StationStatement query(db_,
                              "SELECT station, duration_s FROM jobs WHERE result = 'succeeded' AND duration_s IS NOT "
                              "NULL AND started_utc >= ?1 AND started_utc < ?2");
  query.Bind(1, from).Bind(2, to);
  std::map<std::string, std::vector<double>> times;
  while (query.Step()) times[query.Text(0)].push_back(query.Real(1));
  Check(query);
  std::vector<std::pair<std::string, double>> medians;
  for (auto& [station, seconds] : times) {
    const auto middle = seconds.begin() + static_cast<std::ptrdiff_t>(seconds.size() / 2);
    std::nth_element(seconds.begin(), middle, seconds.end());
    double median = *middle;
    if (seconds.size() % 2 == 0) median = (median + *std::max_element(seconds.begin(), middle)) / 2;
    medians.emplace_back(station, median);
  }
  return medians;
}

std::vector<NvBackupRow> StationReader::NvBackups(const std::string& module) {
  // A module's first backup: the oldest taken from it.
  const std::string sql = std::string("SELECT l.sha256, l.module, l.job_id, l.taken_utc, b.records, row_number() OVER "
                                      "(PARTITION BY l.module ORDER BY l.taken_utc, l.link_order) = 1, "
                                      "length(b.bytes) FROM ") +
                          db_.backup_links() +
                          " l JOIN nv_backups b ON b.sha256 = l.sha256 WHERE l.module IN (?1, upper(?1), lower(?1)) "
                          "ORDER BY l.taken_utc DESC, l.link_order DESC";
  vek::StationStatement query(db_, sql.c_str());
  query.Bind(1, module);
  std::vector<NvBackupRow> rows;
  while (query.Step())
    rows.push_back({query.Text(0), query.Text(1), query.Text(2), query.Text(3), query.Integer(4), query.Integer(5) != 0,
                    query.Integer(6)});
  Check(query);
  return rows;
}

std::optional<std::vector<uint8_t>> StationReader::NvBytes(const std::string& module, bool first,
                                                           const std::string& sha256) {
  // The first: the oldest taken, of the module's ID in whichever case it came in with.
  const std::string sql = std::string("SELECT b.bytes, l.sha256 FROM ") + db_.backup_links() +
                          " l JOIN nv_backups b ON b.sha256 = l.sha256 WHERE l.module IN (?1, upper(?1), lower(?1)) "
                          "AND (?3 IS NULL OR l.sha256 IN (?3, lower(?3), upper(?3))) "
                          "ORDER BY CASE WHEN ?2 = 1 THEN l.taken_utc END, CASE WHEN ?2 = 1 THEN l.link_order END, "
                          "l.taken_utc DESC, l.link_order DESC LIMIT 1";
  vek::StationStatement query(db_, sql.c_str());
  query.Bind(1, module).Bind(2, static_cast<int64_t>(first ? 1 : 0)).Bind(3, sha256);
  if (!query.Step()) {
    Check(query);
    return std::nullopt;
  }
  std::vector<uint8_t> bytes = query.Blob(0);
  if (std::string mismatch = vek::NvBackupMismatch(query.Text(1), bytes); !mismatch.empty()) {
    refused_ = std::move(mismatch);
    return std::nullopt;
  }
  return bytes;
}

}  // namespace vekreport
