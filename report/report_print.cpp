#include "report/report_print.h"

#include <algorithm>
#include <iomanip>
#include <string>

#include "events/terminal_text.h"
#include "report/report_tables.h"

namespace vekreport {
namespace {

using Table = std::vector<std::vector<std::string>>;

// Columns as wide as their widest cell, two blanks between them; every cell of
// the database is printed with control characters escaped.
void PrintTable(std::ostream& out, const Table& table) {
  std::vector<size_t> widths;
  for (const auto& line : table)
    for (size_t i = 0; i < line.size(); ++i) {
      if (widths.size() <= i) widths.push_back(0);
      widths[i] = std::max(widths[i], line[i].size());
    }
  for (const auto& line : table) {
    std::string text;
    for (size_t i = 0; i < line.size(); ++i) {
      text += line[i];
      if (i + 1 < line.size()) text += std::string(widths[i] - line[i].size() + 2, ' ');
    }
    out << text << "\n";
  }
}

std::string Printable(const std::string& text) { return vekevents::ControlsEscaped(text); }

std::string Dash(const std::string& text) { return text.empty() ? "-" : Printable(text); }

}  // namespace

void PrintJobsTable(std::ostream& out, const std::vector<JobRow>& jobs, bool from_line) {
  Table table{{"STARTED (UTC)", "RESULT", "FAILED STEP", "MODULE", "PRODUCT", "VERSION", "USB PATH", "SECONDS", "ID"}};
  constexpr size_t kStationAt = 6;  // before the USB path, a port of that station
  if (from_line) table[0].insert(table[0].begin() + kStationAt, "STATION");
  for (const JobRow& job : jobs) {
    const std::string module = !job.Column("imei").empty() ? job.Column("imei") : job.Column("meid");
    std::string version = job.Column("version_before");
    if (!job.Column("version_after").empty()) version += " -> " + job.Column("version_after");
    std::string seconds = job.Column("duration_s");
    if (!seconds.empty()) {
      char text[32];
      std::snprintf(text, sizeof text, "%.1f", std::strtod(seconds.c_str(), nullptr));
      seconds = text;
    }
    // A job the operator must look at says so beside its result.
    const std::string result = job.Column("result") + (job.Column("attention").empty() ? "" : " (attention)");
    table.push_back({Dash(job.Column("started_utc")), Dash(result), Dash(job.Column("failed_step")),
                     Dash(module), Dash(job.Column("product")), Dash(version), Dash(job.Column("usb_path")),
                     Dash(seconds), Dash(job.Column("id"))});
    if (from_line) table.back().insert(table.back().begin() + kStationAt, Dash(job.Column("station")));
  }
  PrintTable(out, table);
}

void PrintJobsJson(std::ostream& out, const std::vector<JobRow>& jobs) {
  for (const JobRow& job : jobs) out << JsonText(JobJson(job)) << "\n";
}

void PrintNvBackups(std::ostream& out, const std::vector<NvBackupRow>& backups, bool from_line) {
  Table table{{"TAKEN (UTC)", "RECORDS", "BYTES", "KEPT", "SHA-256", "JOB"}};
  if (from_line) table[0].push_back("STATION");
  // A station keeps the newest ten besides the first; the line keeps all it was shipped.
  const char* others_kept = from_line ? "shipped" : "newest ten";
  for (const NvBackupRow& backup : backups) {
    table.push_back({Dash(backup.taken_utc), std::to_string(backup.records), std::to_string(backup.size),
                     backup.first_of_module ? "first (as it arrived)" : others_kept, Dash(backup.sha256),
                     Dash(backup.job_id)});
    if (from_line) table.back().push_back(Dash(backup.station));
  }
  PrintTable(out, table);
}

void PrintPendingBackups(std::ostream& out, const std::vector<JobRow>& jobs) {
  for (const JobRow& job : jobs)
    if (job.Column("nv_backup") == "pending")
      out << "the NV backup of job " << Printable(job.Column("id")) << " is not in the database yet: it waits in "
          << Printable(job.Column("folder")) << "/record-pending\n";
}

void PrintSummary(std::ostream& out, const Summary& summary) {
  auto section = [&](const char* title, const std::map<std::string, int64_t>& counts) {
    out << title << "\n";
    Table table;
    for (const auto& [name, count] : counts) table.push_back({"  " + Printable(name), std::to_string(count)});
    if (table.empty()) table.push_back({"  (none)"});
    PrintTable(out, table);
  };
  section("jobs by result:", summary.by_result);
  section("failures by step:", summary.failed_by_step);
  section("jobs by product:", summary.by_product);
  section("jobs by station:", summary.by_station);
}

}  // namespace vekreport
