#include "report/line_reader.h"

#include <libpq-fe.h>

#include <cstdlib>

#include "store/nv_backup_proof.h"

namespace vekreport {
namespace {

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

// PostgreSQL's type ids of the numbers the line's tables hold.
bool IsNumberType(Oid type) {
  return type == 20 || type == 21 || type == 23 || type == 700 || type == 701 || type == 1700;
}

std::string FirstLine(std::string text) {
  if (const size_t end = text.find('\n'); end != std::string::npos) text.resize(end);
  return text;
}

// Runs `sql` with `values` as text parameters ("" goes as NULL), its rows in
// text or, with `binary`, as stored; nothing and `error` set when it fails.
Result Query(pg_conn* conn, const char* sql, const std::vector<std::string>& values, bool binary,
             std::string& error) {
  std::vector<const char*> params;
  for (const std::string& value : values) params.push_back(value.empty() ? nullptr : value.c_str());
  Result result(PQexecParams(conn, sql, static_cast<int>(params.size()), nullptr, params.data(), nullptr, nullptr,
                             binary ? 1 : 0),
                &PQclear);
  if (PQresultStatus(result.get()) == PGRES_TUPLES_OK) return result;
  if (error.empty()) error = FirstLine(result ? PQresultErrorMessage(result.get()) : PQerrorMessage(conn));
  return Result(nullptr, &PQclear);
}

}  // namespace

std::unique_ptr<vek::LineDb> OpenLineForReading(const std::string& url, std::string& reason) {
  std::unique_ptr<vek::LineDb> line = vek::LineDb::Connect(url, reason);
  if (!line) return nullptr;
  int version = 0;
  std::string why;
  if (!line->Version(version, why)) {
    reason = vek::LineDbTarget(url) + ": " + why;
    return nullptr;
  }
  // An older VEK's schema is read as it stands; a newer one's only added tables and columns.
  if (version > 0) return line;
  reason = vek::LineDbTarget(url) + ": it has no schema yet (vek-report line-init makes it)";
  return nullptr;
}

std::string LineReader::Links() {
  int version = vek::kLineSchemaVersion;
  std::string ignored;
  line_.Version(version, ignored);
  return vek::LineBackupLinks(version);
}

std::vector<JobRow> LineReader::StoredJobs(const JobFilter& filter) {
  const JobsQuery asked = JobsQueryOf(filter, "station DESC, id DESC");
  const Result result = Query(line_.handle(), asked.sql.c_str(), asked.values, false, error_);
  std::vector<JobRow> rows;
  if (!result) return rows;
  PGresult* found = result.get();
  for (int i = 0; i < PQntuples(found); ++i) {
    JobRow row;
    for (int column = 0; column < PQnfields(found); ++column)
      row.columns.push_back({PQfname(found, column), PQgetvalue(found, i, column),
                             PQgetisnull(found, i, column) != 0, IsNumberType(PQftype(found, column))});
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<RecordReader::Cells> LineReader::Ask(const std::string& sql, const std::vector<std::string>& values) {
  const Result result = Query(line_.handle(), sql.c_str(), values, false, error_);
  std::vector<Cells> rows;
  if (!result) return rows;
  PGresult* found = result.get();
  for (int i = 0; i < PQntuples(found); ++i) {
    Cells row;
    for (int column = 0; column < PQnfields(found); ++column)
      row.push_back(PQgetisnull(found, i, column) ? std::nullopt : std::optional<std::string>(PQgetvalue(found, i, column)));
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<std::pair<std::string, double>> LineReader::MedianSeconds(const std::string& from, const std::string& to) {
  // percentile_cont: the middle value, or the two middle ones interpolated half way.
  std::vector<std::pair<std::string, double>> medians;
  for (const Cells& row : Ask("SELECT station, percentile_cont(0.5) WITHIN GROUP (ORDER BY duration_s) FROM jobs "
                              "WHERE result = 'succeeded' AND duration_s IS NOT NULL AND started_utc >= $1 "
                              "AND started_utc < $2 GROUP BY station ORDER BY station",
                              {from, to}))
    medians.emplace_back(row[0].value_or(""), std::strtod(row[1].value_or("0").c_str(), nullptr));
  return medians;
}

std::vector<NvBackupRow> LineReader::NvBackups(const std::string& module) {
  const std::string sql = "SELECT l.sha256, l.module, l.job_id, l.taken_utc, b.records, row_number() OVER "
                          "(PARTITION BY l.module ORDER BY l.taken_utc, l.sha256) = 1, octet_length(b.bytes), l.station "
                          "FROM " + Links() + " l JOIN nv_backups b ON b.sha256 = l.sha256 "
                          "WHERE l.module IN ($1, upper($1), lower($1)) ORDER BY l.taken_utc DESC, l.sha256 DESC";
  const Result result = Query(line_.handle(), sql.c_str(), {module}, false, error_);
  std::vector<NvBackupRow> rows;
  if (!result) return rows;
  PGresult* found = result.get();
  for (int i = 0; i < PQntuples(found); ++i)
    rows.push_back({PQgetvalue(found, i, 0), PQgetvalue(found, i, 1), PQgetvalue(found, i, 2),
                    PQgetvalue(found, i, 3), std::atoll(PQgetvalue(found, i, 4)),
                    PQgetvalue(found, i, 5)[0] == 't', std::atoll(PQgetvalue(found, i, 6)), PQgetvalue(found, i, 7)});
  return rows;
}

std::optional<std::vector<uint8_t>> LineReader::NvBytes(const std::string& module, bool first,
                                                        const std::string& sha256) {
  // Binary results: the bytes as stored, not bytea's hexadecimal text.
  const std::string from = "SELECT b.bytes, l.sha256 FROM " + Links() +
                           " l JOIN nv_backups b ON b.sha256 = l.sha256 WHERE l.module IN ($1, upper($1), lower($1)) ";
  const Result result =
      first ? Query(line_.handle(), (from + "ORDER BY l.taken_utc, l.sha256 LIMIT 1").c_str(), {module}, true, error_)
            : Query(line_.handle(),
                    (from + "AND ($2::text IS NULL OR l.sha256 IN ($2, lower($2), upper($2))) "
                            "ORDER BY l.taken_utc DESC, l.sha256 DESC LIMIT 1")
                        .c_str(),
                    {module, sha256}, true, error_);
  if (!result || PQntuples(result.get()) == 0) return std::nullopt;
  const auto* bytes = reinterpret_cast<const uint8_t*>(PQgetvalue(result.get(), 0, 0));
  std::vector<uint8_t> backup(bytes, bytes + PQgetlength(result.get(), 0, 0));
  const std::string named(PQgetvalue(result.get(), 0, 1), PQgetlength(result.get(), 0, 1));
  if (std::string mismatch = vek::NvBackupMismatch(named, backup); !mismatch.empty()) {
    refused_ = std::move(mismatch);
    return std::nullopt;
  }
  return backup;
}

}  // namespace vekreport
