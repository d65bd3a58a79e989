#include "report/report_tables.h"

#include "store/record_schema.h"

namespace vekreport {
namespace {

using json = nlohmann::ordered_json;

bool Shown(const Cell& cell) { return cell.name != "pid" && cell.name != "boot_id"; }

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string CsvLine(const std::vector<std::string>& fields) {
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) line += (i == 0 ? "" : ",") + CsvField(fields[i]);
  return line + "\r\n";
}

const std::vector<std::string>& BackupColumns() {
  static const std::vector<std::string> names{"taken_utc", "records", "size", "first_of_module",
                                              "sha256",    "module",  "job_id", "station"};
  return names;
}

}  // namespace

json JobJson(const JobRow& job) {
  json line = json::object();
  for (const Cell& cell : job.columns) {
    if (!Shown(cell)) continue;
    if (cell.null) line[cell.name] = nullptr;
    else if (cell.number) line[cell.name] = json::parse(cell.text, nullptr, false);
    else line[cell.name] = cell.text;
  }
  return line;
}

json JobsJson(const std::vector<JobRow>& jobs) {
  json list = json::array();
  for (const JobRow& job : jobs) list.push_back(JobJson(job));
  return list;
}

json NvBackupsJson(const std::vector<NvBackupRow>& backups) {
  json list = json::array();
  for (const NvBackupRow& backup : backups)
    list.push_back({{"taken_utc", backup.taken_utc}, {"records", backup.records}, {"size", backup.size},
                    {"first_of_module", backup.first_of_module}, {"sha256", backup.sha256},
                    {"module", backup.module}, {"job_id", backup.job_id},
                    {"station", backup.station.empty() ? json(nullptr) : json(backup.station)}});
  return list;
}

std::string JobsCsv(const std::vector<JobRow>& jobs) {
  // The header of no rows: the columns this VEK writes.
  std::vector<std::string> names;
  if (jobs.empty())
    for (const vek::RecordColumn& column : vek::ColumnsIn(vek::JobsTable(), vek::RecordDb::kLine))
      names.push_back(column.name);
  else
    for (const Cell& cell : jobs.front().columns)
      if (Shown(cell)) names.push_back(cell.name);
  std::string csv = CsvLine(names);
  for (const JobRow& job : jobs) {
    std::vector<std::string> fields;
    for (const Cell& cell : job.columns)
      if (Shown(cell)) fields.push_back(cell.null ? "" : cell.text);
    csv += CsvLine(fields);
  }
  return csv;
}

std::string NvBackupsCsv(const std::vector<NvBackupRow>& backups) {
  std::string csv = CsvLine(BackupColumns());
  for (const NvBackupRow& backup : backups)
    csv += CsvLine({backup.taken_utc, std::to_string(backup.records), std::to_string(backup.size),
                    backup.first_of_module ? "true" : "false", backup.sha256, backup.module, backup.job_id,
                    backup.station});
  return csv;
}

std::string JsonText(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

}  // namespace vekreport
