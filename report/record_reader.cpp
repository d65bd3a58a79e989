#include "report/record_reader.h"

#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "records/job_result.h"

namespace vekreport {
namespace {

namespace result_word = vek::result_word;

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

}  // namespace

bool Unsuccessful(const std::string& result) {
  return result == result_word::kFailed || result == result_word::kAborted || result == result_word::kInterrupted;
}

std::string JobRow::Column(const std::string& name) const {
  for (const Cell& cell : columns)
    if (cell.name == name) return cell.text;
  return {};
}

std::string ShownResult(const std::string& result, const std::string& station, const std::string& pid,
                        const std::string& boot_id) {
  if (result != result_word::kRunning || station != ThisHost()) return result;
  if (boot_id != ThisBoot() || !ProcessLives(pid)) return result_word::kInterrupted;
  return result;
}

std::string RunningResult(const std::string& result, const std::optional<std::string>& process) {
  if (!process) return result;
  const size_t pid_at = process->find(' ');
  const size_t boot_at = pid_at == std::string::npos ? std::string::npos : process->find(' ', pid_at + 1);
  if (boot_at == std::string::npos) return ShownResult(result, *process, "", "");
  return ShownResult(result, process->substr(0, pid_at), process->substr(pid_at + 1, boot_at - pid_at - 1),
                     process->substr(boot_at + 1));
}

std::string SinceText(const std::string& since) {
  if (since.size() == 10) return since + "T00:00:00Z";
  return since;
}

JobsQuery JobsQueryOf(const JobFilter& filter, const std::string& tie) {
  JobsQuery query{"SELECT * FROM jobs WHERE true", {}};
  auto value = [&](const std::string& text) {
    query.values.push_back(text);
    return "$" + std::to_string(query.values.size());
  };
  std::string leading;
  if (!filter.module.empty()) {
    const std::string id = value(filter.module);
    query.sql += " AND (imei IN (" + id + ", upper(" + id + "), lower(" + id + ")) OR meid IN (" + id + ", upper(" +
                 id + "), lower(" + id + ")))";
  }
  if (!filter.image_set.empty()) {
    // VEK writes an image set's SHA-256 in lower case.
    std::string lower = filter.image_set;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    query.sql += " AND image_set_sha256 = " + value(lower);
    leading = "image_set_sha256 DESC, ";
  }
  if (!filter.station.empty()) {
    query.sql += " AND station = " + value(filter.station);
    leading = "station DESC, ";
  }
  if (!filter.since.empty()) query.sql += " AND started_utc >= " + value(SinceText(filter.since));
  // A running row may read "interrupted": it is judged after the query.
  if (filter.failed) query.sql += " AND result IN ('failed', 'aborted', 'running')";
  query.sql += " ORDER BY " + leading + "started_utc DESC, " + tie;
  if (filter.limit > 0) query.sql += " LIMIT " + std::to_string(filter.limit) + " OFFSET " + std::to_string(filter.offset);
  return query;
}

std::vector<JobRow> RecordReader::Jobs(const JobFilter& filter) {
  std::vector<JobRow> rows;
  for (JobRow& row : StoredJobs(filter)) {
    for (Cell& cell : row.columns)
      if (cell.name == "result")
        cell.text = ShownResult(cell.text, row.Column("station"), row.Column("pid"), row.Column("boot_id"));
    if (filter.failed && !Unsuccessful(row.Column("result"))) continue;
    rows.push_back(std::move(row));
  }
  return rows;
}

Summary RecordReader::Summarise(const std::string& since) {
  JobFilter filter;
  filter.since = since;
  Summary summary;
  for (const JobRow& row : Jobs(filter)) {
    const std::string result = row.Column("result");
    ++summary.by_result[result];
    if (Unsuccessful(result)) {
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
