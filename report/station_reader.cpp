#include "report/station_reader.h"

namespace vekreport {

void StationReader::Check(const vek::StationStatement& query) {
  if (query.Failed() && error_.empty()) error_ = db_.Error();
}

std::vector<JobRow> StationReader::StoredJobs(const JobFilter& filter) {
  vek::StationStatement query(
      db_,
      "SELECT * FROM jobs WHERE (?1 IS NULL OR imei IN (?1, upper(?1), lower(?1)) OR meid IN (?1, upper(?1), lower(?1))) "
      "AND (?2 IS NULL OR image_set_sha256 IN (?2, lower(?2), upper(?2))) "
      "AND (?3 IS NULL OR started_utc >= ?3) ORDER BY started_utc DESC, rowid DESC");
  query.Bind(1, filter.module).Bind(2, filter.image_set).Bind(3, filter.since.empty() ? "" : SinceText(filter.since));
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

std::vector<NvBackupRow> StationReader::NvBackups(const std::string& module) {
  vek::StationStatement query(db_,
                              "SELECT sha256, module, job_id, taken_utc, records, first_of_module, length(bytes) "
                              "FROM nv_backups WHERE module IN (?1, upper(?1), lower(?1)) ORDER BY taken_utc DESC, rowid DESC");
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
  // The first: the earliest kept as a first, should the module have come in
  // with its ID written in another case too (each is then a first of its own).
  vek::StationStatement query(db_,
                              "SELECT bytes FROM nv_backups WHERE module IN (?1, upper(?1), lower(?1)) "
                              "AND (?2 = 0 OR first_of_module = 1) AND (?3 IS NULL OR sha256 IN (?3, lower(?3), upper(?3))) "
                              "ORDER BY CASE WHEN ?2 = 1 THEN taken_utc END, taken_utc DESC, rowid DESC LIMIT 1");
  query.Bind(1, module).Bind(2, static_cast<int64_t>(first ? 1 : 0)).Bind(3, sha256);
  if (!query.Step()) {
    Check(query);
    return std::nullopt;
  }
  return query.Blob(0);
}

}  // namespace vekreport
