#include "report/report_pages.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "records/job_result.h"
#include "report/overview.h"
#include "report/query_values.h"
#include "report/report_tables.h"

namespace vekreport {

extern const char kReportPageHtml[];

namespace {

using vekweb::Reply;
using vekweb::Request;
using json = nlohmann::ordered_json;

constexpr int64_t kRowsShown = 50;
constexpr size_t kLongestStation = 255;

std::string Param(const Request& request, const char* name) {
  const auto found = request.query.find(name);
  return found == request.query.end() ? "" : found->second;
}

Reply JsonReply(int status, const json& body) {
  Reply reply;
  reply.status = status;
  reply.content_type = "application/json";
  reply.body = JsonText(body) + "\n";
  return reply;
}

Reply Refused(const std::string& why) { return JsonReply(400, {{"error", why}}); }

Reply CsvReply(std::string body, const std::string& file) {
  Reply reply;
  reply.content_type = "text/csv; charset=utf-8";
  reply.body = std::move(body);
  reply.attachment = file;
  return reply;
}

Reply PageReply() {
  Reply reply;
  reply.content_type = "text/html; charset=utf-8";
  reply.body = kReportPageHtml;
  return reply;
}

// A positive whole number of at most `most`; nothing for anything else.
std::optional<int64_t> CountOf(const std::string& text, int64_t most) {
  const auto digit = [](unsigned char c) { return std::isdigit(c) != 0; };
  if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), digit)) return std::nullopt;
  const int64_t value = std::atoll(text.c_str());
  if (value < 1 || value > most) return std::nullopt;
  return value;
}

// The filters and the page of a jobs table, as its address names them.
std::optional<JobFilter> JobFilterOf(const Request& request, std::string& why) {
  JobFilter filter;
  filter.module = Param(request, "module");
  filter.image_set = Param(request, "image_set");
  filter.station = Param(request, "station");
  const std::string since = Param(request, "since"), failed = Param(request, "failed");
  if (!filter.module.empty() && !IsModuleId(filter.module)) why = "module: an IMEI (15 digits) or MEID (14 hexadecimal digits)";
  if (!filter.image_set.empty() && !IsHex64(filter.image_set)) why = "image_set: the set's SHA-256, 64 hexadecimal digits";
  if (filter.station.size() > kLongestStation) why = "station: a station's name";
  if (!since.empty()) {
    if (const auto from = SinceOf(since)) filter.since = *from;
    else why = "since: a day (2026-12-01), a UTC time (2026-12-01T08:00:00Z), today or yesterday";
  }
  if (failed != "" && failed != "0" && failed != "1") why = "failed: 1 (failed, aborted and interrupted jobs only) or 0";
  filter.failed = failed == "1";
  const std::string page = Param(request, "page"), per = Param(request, "per");
  const auto page_number = page.empty() ? std::optional<int64_t>(1) : CountOf(page, 1000000);
  const auto rows = per.empty() ? std::optional<int64_t>(kRowsShown) : CountOf(per, kMostRowsAPage);
  if (!page_number) why = "page: 1, 2, ...";
  if (!rows) why = "per: the rows of a page, 1 to " + std::to_string(kMostRowsAPage);
  if (!why.empty()) return std::nullopt;
  filter.limit = *rows;
  filter.offset = (*page_number - 1) * *rows;
  for (char& c : filter.image_set) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return filter;
}

std::optional<std::string> FormatOf(const Request& request, bool csv) {
  const std::string format = Param(request, "format");
  if (format.empty() || format == "html" || format == "json" || (csv && format == "csv")) return format;
  return std::nullopt;
}

}  // namespace

ReportPages::ReportPages(ServedDatabase& db, std::function<void(const std::string&)> log, Clock now)
    : db_(db), log_(std::move(log)), now_(std::move(now)) {}

void ReportPages::Route(vekweb::HttpServer& server) {
  server.Route("/", [this](const Request& request) { return Overview(request); });
  server.Route("/jobs", [this](const Request& request) { return Jobs(request); });
  server.Route("/module", [this](const Request& request) { return Module(request); });
  server.Route("/image-set", [this](const Request& request) { return ImageSet(request); });
  server.Route("/module/nv", [this](const Request& request) { return NvFile(request); });
  server.Route("/healthz", [](const Request&) {
    Reply reply;
    reply.body = "ok\n";
    return reply;
  });
}

void ReportPages::Check() {
  Reply ignored;
  Read([](RecordReader& reader) { reader.Ask("SELECT count(*) FROM jobs WHERE 1 = 0", {}); }, ignored);
}

bool ReportPages::Read(const std::function<void(RecordReader&)>& read, Reply& reply) {
  std::string why;
  const bool read_all = db_.Read(read, why);
  if (read_all && failing_) log_("the database answers again: " + db_.name());
  if (!read_all && !failing_) log_("cannot read " + why);
  failing_ = !read_all;
  if (!read_all) reply = JsonReply(503, {{"error", "cannot read " + why}});
  return read_all;
}

Reply ReportPages::Overview(const Request& request) {
  const auto format = FormatOf(request, false);
  if (!format) return Refused("format: html or json");
  if (*format != "json") return PageReply();
  std::string why;
  const std::optional<Period> period = PeriodOf(request.query, now_(), why);
  if (!period) return Refused(why);
  vekreport::Overview overview;
  Reply reply;
  if (!Read([&](RecordReader& reader) { overview = AskOverview(reader, *period); }, reply)) return reply;
  json body = OverviewJson(overview);
  body["database"] = db_.line() ? "line" : "station";
  body["source"] = db_.name();
  return JsonReply(200, body);
}

Reply ReportPages::Jobs(const Request& request) {
  const auto format = FormatOf(request, true);
  if (!format) return Refused("format: html, json or csv");
  if (format->empty() || *format == "html") return PageReply();
  std::string why;
  const std::optional<JobFilter> filter = JobFilterOf(request, why);
  if (!filter) return Refused(why);
  std::vector<JobRow> jobs;
  Reply reply;
  if (!Read([&](RecordReader& reader) { jobs = reader.Jobs(*filter); }, reply)) return reply;
  return *format == "csv" ? CsvReply(JobsCsv(jobs), "jobs.csv") : JsonReply(200, JobsJson(jobs));
}

Reply ReportPages::Module(const Request& request) {
  const auto format = FormatOf(request, true);
  if (!format) return Refused("format: html, json or csv");
  if (format->empty() || *format == "html") return PageReply();
  const std::string module = Param(request, "id"), table = Param(request, "table");
  if (!IsModuleId(module)) return Refused("id: the module's IMEI (15 digits) or MEID (14 hexadecimal digits)");
  if (table != "" && table != "jobs" && table != "backups") return Refused("table: jobs or backups");
  std::vector<JobRow> jobs;
  std::vector<NvBackupRow> backups;
  Reply reply;
  JobFilter filter;
  filter.module = module;
  filter.limit = kModuleJobsShown;
  if (!Read(
          [&](RecordReader& reader) {
            jobs = reader.Jobs(filter);
            backups = reader.NvBackups(module);
          },
          reply))
    return reply;
  if (*format == "csv")
    return table == "backups" ? CsvReply(NvBackupsCsv(backups), "nv-backups-" + module + ".csv")
                              : CsvReply(JobsCsv(jobs), "jobs-" + module + ".csv");
  // A backup that waits beside its job for the database is named with its folder.
  json pending = json::array();
  for (const JobRow& job : jobs)
    if (job.Column("nv_backup") == "pending")
      pending.push_back({{"job_id", job.Column("id")}, {"folder", job.Column("folder") + "/record-pending"}});
  return JsonReply(200, {{"module", module},
                         {"jobs", JobsJson(jobs)},
                         {"backups", NvBackupsJson(backups)},
                         {"pending_backups", pending}});
}

Reply ReportPages::ImageSet(const Request& request) {
  const auto format = FormatOf(request, true);
  if (!format) return Refused("format: html, json or csv");
  if (format->empty() || *format == "html") return PageReply();
  Request jobs_of_set = request;
  jobs_of_set.query["image_set"] = Param(request, "sha256");
  jobs_of_set.query.erase("module");
  if (!IsHex64(Param(request, "sha256"))) return Refused("sha256: the set's SHA-256, 64 hexadecimal digits");
  std::string why;
  const std::optional<JobFilter> filter = JobFilterOf(jobs_of_set, why);
  if (!filter) return Refused(why);
  std::vector<JobRow> jobs;
  std::map<std::string, int64_t> by_result;
  int64_t modules = 0;
  Reply reply;
  if (!Read(
          [&](RecordReader& reader) {
            // One row more than the page, to tell whether there is a page after it.
            JobFilter one_more = *filter;
            one_more.limit += *format == "csv" ? 0 : 1;
            jobs = reader.Jobs(one_more);
            if (*format == "csv") return;
            // Both counts read the set's index alone (it holds result, imei and meid):
            // only the few rows still running are looked up for their process.
            const std::string of_set = " FROM jobs WHERE image_set_sha256 = $1";
            for (const auto& row : reader.Ask("SELECT result, count(*)" + of_set + " GROUP BY 1", {filter->image_set}))
              if (row[0] != vek::result_word::kRunning)
                by_result[row[0].value_or("")] += std::atoll(row[1].value_or("0").c_str());
            for (const auto& row : reader.Ask(std::string("SELECT ") + reader.RunningProcess() + of_set +
                                                  " AND result = 'running'",
                                              {filter->image_set}))
              ++by_result[RunningResult(vek::result_word::kRunning, row[0])];
            for (const auto& row : reader.Ask("SELECT count(*) FROM (SELECT coalesce(imei, meid)" + of_set +
                                                  " GROUP BY 1) AS modules",
                                              {filter->image_set}))
              modules = std::atoll(row[0].value_or("0").c_str());
          },
          reply))
    return reply;
  if (*format == "csv") return CsvReply(JobsCsv(jobs), "jobs-of-image-set.csv");
  const bool more = std::ssize(jobs) > filter->limit;
  if (more) jobs.pop_back();
  return JsonReply(200, {{"image_set", filter->image_set},
                         {"more", more},
                         {"modules", modules},
                         {"jobs_by_result", by_result},
                         {"jobs", JobsJson(jobs)}});
}

Reply ReportPages::NvFile(const Request& request) {
  const std::string module = Param(request, "id"), sha256 = Param(request, "sha256");
  if (!IsModuleId(module)) return Refused("id: the module's IMEI (15 digits) or MEID (14 hexadecimal digits)");
  if (!IsHex64(sha256)) return Refused("sha256: the backup's SHA-256, 64 hexadecimal digits");
  std::optional<std::vector<uint8_t>> bytes;
  std::string refused;
  Reply reply;
  if (!Read(
          [&](RecordReader& reader) {
            bytes = reader.NvBytes(module, false, sha256);
            refused = reader.refused();
          },
          reply))
    return reply;
  // Stored bytes that no longer match their name are the server's fault, not the request's.
  if (!refused.empty()) return JsonReply(500, {{"error", refused}});
  if (!bytes) return JsonReply(404, {{"error", "no such NV backup of " + module}});
  reply = Reply{};
  reply.content_type = "application/octet-stream";
  reply.body.assign(bytes->begin(), bytes->end());
  // The name the restore reads.
  reply.attachment = "backup.nvb";
  return reply;
}

}  // namespace vekreport
