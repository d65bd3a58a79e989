// How fast `vek-report serve` answers its pages over a big line's records: a
// million jobs of twenty stations over a year, in the line's PostgreSQL and in
// one station's SQLite file.
//
//   bench_report_pages [--jobs N] [--requests R]   (defaults 1000000 and 40)
//
// A throwaway PostgreSQL server (as the tests make one) and a scratch folder;
// bench_record_fixture (built beside this program) writes the same jobs into
// each (the same --now, so the same rows), one after the other, timed. Then, for
// each database in turn, `vek-report --line-db URL serve --http 127.0.0.1:PORT`
// (or `--db FILE`) is started, asked for /healthz until it says "ok", and each
// page is asked once (not counted: the first reads cold pages) and then R times
// in a row over a raw loopback socket (HTTP/1.0, read to the close). Printed as
// Markdown: p50 and p95 per page and database, beside the goals. A reply other
// than 200 is counted and named, and leaves its page's figures out.
#include <poll.h>
#include <signal.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "http_get.h"
#include "pg_cluster.h"
#include "store/station_rows.h"

namespace {

constexpr int kStations = 20;
constexpr double kLineGoalMs = 500;
constexpr double kStationGoalMs = 1000;
// A million jobs take well under a minute into either database; past this, something hangs.
constexpr int kFixtureDeadlineS = 900;
constexpr int kHealthyWithinMs = 60000;
constexpr int kRequestLimitMs = 60000;
constexpr int kLookEveryMs = 100;

volatile std::sig_atomic_t stop_asked = 0;

void AskStop(int) { stop_asked = 1; }

// Ends the waits of this program at an interrupt (or when what reads its output
// has gone: `| head`), so that every child and the server are stopped and reaped
// on the way out as at a normal end. Caught, not ignored: the children start with
// every signal as it usually is.
void CatchStops() {
  struct sigaction action{};
  action.sa_handler = AskStop;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(signal, &action, nullptr);
}

// Sleeps up to `ms` in poll(); true when the program behind `pidfd` has ended meanwhile.
bool EndedWithin(const bench::Program& program, int ms) {
  pollfd ended{program.pidfd(), POLLIN, 0};  // -1 (no pidfds): a plain sleep
  return poll(&ended, 1, ms) > 0;
}

// Stops a program that may still run: SIGTERM, then (Program::Wait) again and SIGKILL.
void StopProgram(bench::Program& program) {
  if (!program.started()) return;
  if (!EndedWithin(program, 0)) kill(program.pid(), SIGTERM);
  program.Wait(10);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string LastLines(const std::string& text, size_t lines) {
  size_t at = text.size();
  for (size_t seen = 0; at > 0 && seen <= lines;)
    if (text[--at] == '\n' && at + 1 < text.size()) ++seen;
  return text.substr(at == 0 ? 0 : at + 1);
}

struct Fixture {
  bool ok = false;
  double seconds = 0;
  nlohmann::json description;
  std::string why;
};

// bench_record_fixture into one database (`target`: --db FILE or --line-db URL).
Fixture MakeFixture(const std::vector<std::string>& target, const std::string& jobs, const std::string& now,
                    const std::string& folder, const std::string& log) {
  Fixture fixture;
  std::vector<std::string> args = {bench::BuiltProgram("bench", "bench_record_fixture"), "--jobs", jobs,
                                    "--stations", std::to_string(kStations), "--now", now};
  args.insert(args.end(), target.begin(), target.end());
  bench::Program program(args, folder, {}, log);
  if (!program.started()) {
    fixture.why = "bench_record_fixture could not be started";
    return fixture;
  }
  const auto until = bench::Clock::now() + std::chrono::seconds(kFixtureDeadlineS);
  while (!stop_asked && bench::Clock::now() < until && !EndedWithin(program, kLookEveryMs)) {
  }
  StopProgram(program);  // it has ended, or it is stopped
  const bench::Program::Ended ended = program.Reap();
  fixture.seconds = ended.wall;
  // Its standard output (one JSON line) and error share the log.
  const std::string output = ReadFile(log);
  for (size_t at = 0; at < output.size();) {
    const size_t end = std::min(output.find('\n', at), output.size());
    if (output[at] == '{') fixture.description = nlohmann::json::parse(output.substr(at, end - at), nullptr, false);
    at = end + 1;
  }
  fixture.ok = ended.status == 0 && fixture.description.is_object() && !fixture.description.is_discarded();
  if (!fixture.ok)
    fixture.why = "bench_record_fixture ended with " + std::to_string(ended.status) + ": " + LastLines(output, 3);
  return fixture;
}

struct Page {
  std::string label;   // as the table shows it
  std::string target;  // as it is asked for
};

// A value as a query string carries it: letters, digits and "-._~" as they are.
std::string Escaped(const std::string& value) {
  std::string escaped;
  for (const unsigned char c : value) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      escaped += static_cast<char>(c);
    } else {
      char code[4];
      std::snprintf(code, sizeof code, "%%%02X", c);
      escaped += code;
    }
  }
  return escaped;
}

// The first text of a JSON list, empty when there is none.
std::string FirstOf(const nlohmann::json& description, const char* list, size_t index = 0) {
  const auto found = description.find(list);
  if (found == description.end() || !found->is_array() || found->empty()) return {};
  const auto& item = (*found)[std::min(index, found->size() - 1)];
  return item.is_string() ? item.get<std::string>() : std::string();
}

std::vector<Page> Pages(const nlohmann::json& description) {
  const std::string module = Escaped(FirstOf(description, "modules_with_backups"));
  // The second module kept has two backups.
  const std::string backed = Escaped(FirstOf(description, "modules_with_backups", 1));
  const std::string set = Escaped(FirstOf(description, "image_sets"));
  // A page is its HTML (the same few KiB for all) and the data it asks for with
  // ?format=json: that answer is what a page costs the database.
  const std::string year = "period=range&from=" + description.value("first_started", std::string()).substr(0, 10) +
                           "&to=" + description.value("now", std::string()).substr(0, 10);
  return {{"`/` (the page's HTML)", "/"},
          {"overview, default period (7 days)", "/?format=json"},
          {"overview, `period=today`", "/?period=today&format=json"},
          {"overview, `period=30d`", "/?period=30d&format=json"},
          {"overview, the whole year (a range)", "/?" + year + "&format=json"},
          {"jobs, first page", "/jobs?format=json"},
          {"jobs, `page=200`", "/jobs?page=200&format=json"},
          {"jobs, `failed=1`", "/jobs?failed=1&format=json"},
          {"jobs, `station=station-05`", "/jobs?station=station-05&format=json"},
          {"jobs, `module=IMEI`", "/jobs?module=" + module + "&format=json"},
          {"jobs, `image_set=SET`", "/jobs?image_set=" + set + "&format=json"},
          {"module `IMEI2`", "/module?id=" + backed + "&format=json"},
          {"image set `SET`", "/image-set?sha256=" + set + "&format=json"},
          {"jobs as CSV", "/jobs?format=csv"}};
}

struct PageTimes {
  std::vector<double> ms;  // of the counted requests answered 200
  double first_ms = -1;    // the request not counted; -1: it was not answered 200
  uint64_t bytes = 0;      // the last reply answered 200, whole
  std::map<std::string, int> refused;  // what the others answered, and how often
};

struct Served {
  std::string name;   // "PostgreSQL" or "SQLite"
  double goal_ms = 0;
  Fixture fixture;
  uint64_t size = 0;  // of the database, bytes
  bool up = false;
  std::string why;    // why it was not served, or ended early
  std::vector<PageTimes> pages;
};

std::string Refusal(const bench::HttpReply& reply) {
  if (reply.status == 0) return reply.error;
  return reply.head.substr(0, reply.head.find('\r'));
}

// vek-report serve on `database` (--db FILE or --line-db URL): every page asked
// 1 + `requests` times, the server stopped and reaped at the end.
void Serve(Served& served, const std::vector<std::string>& database, const std::vector<Page>& pages, int requests,
           const std::string& folder, const std::string& log) {
  const uint16_t port = bench::FreeLoopbackPort();
  std::vector<std::string> args = {bench::BuiltProgram("cli", "vek-report")};
  args.insert(args.end(), database.begin(), database.end());
  args.insert(args.end(), {"serve", "--http", "127.0.0.1:" + std::to_string(port)});
  bench::Program server(args, folder, {}, log);
  const auto until = bench::Clock::now() + std::chrono::milliseconds(kHealthyWithinMs);
  while (server.started() && !stop_asked) {
    const bench::HttpReply health = bench::HttpGet(port, "/healthz", 2000);
    if (health.status == 200 && health.body == "ok\n") {
      served.up = true;
      break;
    }
    if (bench::Clock::now() >= until || EndedWithin(server, kLookEveryMs)) break;
  }
  if (!served.up) {
    served.why = !server.started()             ? "vek-report could not be started"
                 : stop_asked                  ? "interrupted"
                 : EndedWithin(server, 0)      ? "vek-report ended before /healthz answered"
                                               : "/healthz did not answer \"ok\" within 60 s";
    StopProgram(server);
    const std::string said = LastLines(ReadFile(log), 10);
    if (!said.empty())
      std::fprintf(stderr, "bench_report_pages: vek-report on %s said:\n%s", served.name.c_str(), said.c_str());
    return;
  }
  for (const Page& page : pages) {
    std::fprintf(stderr, "bench_report_pages: %s: %s, %d requests\n", served.name.c_str(), page.target.c_str(),
                 requests + 1);
    PageTimes& times = served.pages.emplace_back();
    for (int i = 0; i <= requests && !stop_asked; ++i) {
      const bench::HttpReply reply = bench::HttpGet(port, page.target, kRequestLimitMs);
      if (reply.status != 200) {
        ++times.refused[Refusal(reply)];
        continue;
      }
      times.bytes = reply.bytes;
      if (i == 0) times.first_ms = reply.seconds * 1000;
      else times.ms.push_back(reply.seconds * 1000);
    }
  }
  if (stop_asked) served.why = "interrupted";
  else if (EndedWithin(server, 0)) served.why = "vek-report ended while it was asked";
  StopProgram(server);
}

std::string Ms(double value) {
  char text[32];
  std::snprintf(text, sizeof text, value < 10 ? "%.1f" : "%.0f", value);
  return text;
}

double MiB(uint64_t bytes) { return static_cast<double>(bytes) / (1 << 20); }

std::optional<long> Count(const char* text, long low, long high) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value < low || value > high) return std::nullopt;
  return value;
}

void PrintTable(const std::vector<Page>& pages, const std::vector<Served>& databases) {
  std::printf("| page |");
  for (const Served& db : databases) std::printf(" %s p50 / p95 ms | first ms |", db.name.c_str());
  std::printf(" reply KiB |\n|---|");
  for (size_t i = 0; i < databases.size(); ++i) std::printf("---|---|");
  std::printf("---|\n");
  for (size_t p = 0; p < pages.size(); ++p) {
    std::printf("| %s |", pages[p].label.c_str());
    uint64_t bytes = 0;
    for (const Served& db : databases) {
      if (p >= db.pages.size() || db.pages[p].ms.empty()) {
        std::printf(" — | — |");
        continue;
      }
      const PageTimes& times = db.pages[p];
      const double p95 = bench::Quantile(times.ms, 0.95);
      std::printf(" %s / %s%s | %s |", Ms(bench::Quantile(times.ms, 0.5)).c_str(), Ms(p95).c_str(),
                  p95 > db.goal_ms ? " (**over**)" : "", times.first_ms < 0 ? "—" : Ms(times.first_ms).c_str());
      bytes = std::max(bytes, times.bytes);
    }
    std::printf(" %.1f |\n", static_cast<double>(bytes) / 1024);
  }
}

// The goal line of one database; false when it is not met.
bool PrintGoal(const std::vector<Page>& pages, const Served& db, int requests) {
  double worst = 0;
  std::string slowest;
  size_t answered = 0;
  for (size_t p = 0; p < db.pages.size(); ++p) {
    if (db.pages[p].ms.size() == static_cast<size_t>(requests)) ++answered;
    const double p95 = bench::Quantile(db.pages[p].ms, 0.95);
    if (!db.pages[p].ms.empty() && p95 >= worst) {
      worst = p95;
      slowest = pages[p].label;
    }
  }
  const bool met = db.up && db.why.empty() && answered == pages.size() && worst <= db.goal_ms;
  std::printf("\nGoal: every page within %.0f ms on %s (p95): **%s — %s**.\n", db.goal_ms, db.name.c_str(),
              slowest.empty() ? "no page answered" : (Ms(worst) + " ms at " + slowest).c_str(),
              met ? "met" : answered < pages.size() ? "not met (pages not answered 200)" : "not met");
  return met;
}

}  // namespace

int main(int argc, char** argv) {
  long jobs = 1000000, requests = 40;
  for (int i = 1; i < argc; i += 2) {
    const std::string name = argv[i];
    const long value = i + 1 < argc ? Count(argv[i + 1], 1, 50000000).value_or(0) : 0;  // 0: none
    if (name == "--jobs" && value > 0) jobs = value;
    else if (name == "--requests" && value > 0 && value <= 10000) requests = value;
    else {
      std::fprintf(stderr, "usage: bench_report_pages [--jobs N] [--requests R]  (defaults 1000000 and 40)\n");
      return 2;
    }
  }
  CatchStops();
  const std::string heading = "### Report pages (vek-report serve) on " + std::to_string(jobs) + " jobs from " +
                              std::to_string(kStations) + " stations\n\n";
  vektest::PgCluster cluster(5432);
  if (!cluster.ready()) {
    std::printf("%s**bench_report_pages: no PostgreSQL server could be made (initdb, pg_ctl).**\n\n", heading.c_str());
    return 1;
  }
  bench::ScratchDir scratch;
  const std::string station_db = scratch / "station.db";
  // One moment for both, so that both hold the same rows.
  const std::string now = vek::UtcText(std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()));
  std::vector<Served> databases(2);
  databases[0].name = "PostgreSQL";
  databases[0].goal_ms = kLineGoalMs;
  databases[1].name = "SQLite";
  databases[1].goal_ms = kStationGoalMs;
  const std::vector<std::vector<std::string>> targets = {{"--line-db", cluster.Url()}, {"--db", station_db}};
  const char* names[] = {"line", "station"};

  for (size_t d = 0; d < databases.size() && !stop_asked; ++d) {
    std::fprintf(stderr, "bench_report_pages: %ld jobs into %s\n", jobs, databases[d].name.c_str());
    databases[d].fixture = MakeFixture(targets[d], std::to_string(jobs), now, scratch.path(),
                                       scratch / (std::string("fixture-") + names[d] + ".log"));
  }
  bool ok = true;
  for (const Served& db : databases) {
    if (db.fixture.ok) continue;
    std::printf("%s**bench_report_pages: the fixture could not be written into %s: %s**\n\n", ok ? heading.c_str() : "",
                db.name.c_str(), stop_asked ? "interrupted" : db.fixture.why.c_str());
    ok = false;
  }
  if (!ok) return 1;
  if (databases[0].fixture.description != databases[1].fixture.description) {
    std::printf("%s**bench_report_pages: the fixture differs between the databases.**\n\n", heading.c_str());
    return 1;
  }
  const std::vector<std::string> size = cluster.Column("SELECT pg_database_size(current_database())");
  databases[0].size = size.empty() ? 0 : std::stoull(size.front());
  std::error_code error;
  databases[1].size = std::filesystem::file_size(station_db, error);

  const std::vector<Page> pages = Pages(databases[0].fixture.description);
  const std::string load_before = bench::LoadAverage();
  for (size_t d = 0; d < databases.size() && !stop_asked; ++d)
    Serve(databases[d], targets[d], pages, static_cast<int>(requests), scratch.path(),
          scratch / (std::string("serve-") + names[d] + ".log"));
  for (Served& db : databases)
    if (!db.up && db.why.empty()) db.why = "interrupted before it was served";

  const nlohmann::json& fixture = databases[0].fixture.description;
  std::printf("%s", heading.c_str());
  std::printf("`bench_record_fixture --jobs %ld --stations %d` (seed 1, a year up to now, %zu modules with NV "
              "backups): into the line's PostgreSQL 15 (Unix socket of this machine) in %.1f s, database %.0f MiB "
              "(`pg_database_size`); into a station's SQLite file in %.1f s, file %.0f MiB. Each page asked once "
              "(\"first\", not counted), then %ld times in a row over a loopback socket (HTTP/1.0, read to the "
              "close); %ld cores; load average %s before, %s after.\n\n",
              jobs, kStations, fixture.value("modules_with_backups", nlohmann::json::array()).size(),
              databases[0].fixture.seconds, MiB(databases[0].size), databases[1].fixture.seconds,
              MiB(databases[1].size), requests, sysconf(_SC_NPROCESSORS_ONLN), load_before.c_str(),
              bench::LoadAverage().c_str());
  PrintTable(pages, databases);
  std::printf("\nIMEI: %s (a module's jobs), IMEI2: %s (its two NV backups); SET: %s.\n",
              FirstOf(fixture, "modules_with_backups").c_str(), FirstOf(fixture, "modules_with_backups", 1).c_str(),
              FirstOf(fixture, "image_sets").c_str());
  for (const Served& db : databases) {
    if (!db.why.empty()) {
      std::printf("\n**%s: %s.**\n", db.name.c_str(), db.why.c_str());
      ok = false;
    }
    for (size_t p = 0; p < db.pages.size(); ++p)
      for (const auto& [answer, times] : db.pages[p].refused) {
        std::printf("\n**%s: %s answered %d of %ld times: %s**\n", db.name.c_str(), pages[p].label.c_str(), times,
                    requests + 1, answer.c_str());
        ok = false;
      }
  }
  for (const Served& db : databases) PrintGoal(pages, db, static_cast<int>(requests));
  std::printf("\n");
  return ok ? 0 : 1;
}
