// vek-report as an auditor runs it, against real SQLite files the store's own
// writer made: every command line the documents and man pages show, the words
// it takes and refuses, and databases it may only read.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <tuple>

#include "factory_process.h"
#include "pg_cluster.h"
#include "store/station_rows.h"

namespace {

constexpr char kImei[] = "356938035643809";
constexpr char kMeid[] = "A0000012345678";  // kept in upper case, asked for in lower
const std::string kSha = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kReport = std::string(VEK_BINARY_DIR) + "/cli/vek-report";

// `command`'s standard output and error, and its exit status.
std::pair<std::string, int> Shell(const std::string& command) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  std::string out;
  char buffer[4096];
  for (size_t n; pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = pipe ? pclose(pipe) : -1;
  return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

std::string Replaced(std::string text, const std::string& what, const std::string& by) {
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + by.size()))
    text.replace(at, what.size(), by);
  return text;
}

// A station's jobs: a module's success (its first backup, the image set's SHA-256
// for both) on 2026-12-01 and its failure a day later; a MEID module's job of now.
std::unique_ptr<vek::StationDb> Station(const std::string& path) {
  std::string reason;
  auto db = vek::StationDb::Open(path, vek::StationDb::Mode::kWrite, reason);
  EXPECT_TRUE(db) << reason;
  using Job = std::tuple<const char*, std::string, const char*, const char*, const char*, std::string>;
  for (const auto& [id, started, imei, meid, result, backup] :
       std::vector<Job>{{"job-a", "2026-12-01T08:00:00Z", kImei, "", "succeeded", kSha},
                        {"job-c", "2026-12-02T00:00:00Z", kImei, "", "failed", ""},
                        {"job-b", vek::UtcText(std::chrono::system_clock::now()), "", kMeid, "succeeded",
                         std::string(64, 'b')}}) {
    if (!db) break;
    vek::StationJobRow row{.id = id, .started_utc = started, .ended_utc = started, .station = "station-7",
                           .program = "vek-cli", .vek_version = VEK_VERSION, .imei = imei, .meid = meid,
                           .product = "ZX2180", .image_set_sha256 = kSha, .result = result};
    if (row.result == "failed") row.failed_step = "image";
    EXPECT_TRUE(vek::WriteJobRow(*db, row, reason)) << reason;
    const vek::StationNvBackup taken{backup, std::string(imei) + meid, id, started, 3, {1, 2}};
    EXPECT_TRUE(backup.empty() || vek::WriteNvBackup(*db, taken, reason)) << reason;
  }
  return db;
}

// The example command lines of `file`: in a man page those of its EXAMPLES,
// elsewhere those of its code blocks (fenced or indented), each without its comment.
std::vector<std::string> ShownLines(const std::string& file) {
  std::vector<std::string> lines;
  std::ifstream in(file);
  bool example = false, fenced = false;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(".SH")) example = line == ".SH EXAMPLES";
    if (line.starts_with("```")) fenced = !fenced;
    const bool code = file.ends_with(".1") ? example : fenced || line.starts_with("    ");
    line = std::regex_replace(Replaced(line, "\\-", "-"), std::regex("^ +| *#.*$"), "");
    if (code && std::regex_search(line, std::regex("^(sudo -u vek )?vek-report "))) lines.push_back(line);
  }
  return lines;
}

struct Documented {
  const char* where;  // under the source tree
  const char* line;   // as the document shows it
  const char* shows;  // in what it prints
};

// In the order they run: the station's questions, then the line's made, shipped to and asked.
const Documented kDocumented[] = {
    {"docs/records.md", "vek-report jobs", kImei},
    {"docs/records.md", "vek-report jobs --failed --since 2026-12-01", "image"},
    {"docs/records.md", "vek-report jobs --image-set <sha256> --json", "\"image_set_sha256\""},
    {"docs/records.md", "vek-report module 356938035643809", "first (as it arrived)"},
    {"docs/records.md", "vek-report summary --since 2026-12-01", "failures by step"},
    {"docs/records.md", "vek-report jobs --since yesterday --db station.db", kMeid},
    {"docs/records.md", "vek-report module a0000012345678 --db station.db", "first (as it arrived)"},
    {"docs/records.md", "vek-report nv 356938035643809 --first --out backup.nvb", ""},
    {"docs/station.md", "sudo -u vek vek-report --db /var/lib/vek/station.db jobs --since today", kMeid},
    {"docs/station.md", "sudo -u vek vek-report --db /var/lib/vek/station.db summary --since 2026-12-01", "station-7"},
    {"docs/station.md", "sudo -u vek vek-report --db /var/lib/vek/station.db module 356938035643809", kImei},
    {"packaging/man/vek-report.1", "vek-report jobs --since yesterday", kMeid},
    {"packaging/man/vek-report.1", "vek-report --db station.db jobs --failed --since 2026-12-01T08:00:00Z", "image"},
    {"packaging/man/vek-report.1", "vek-report jobs --image-set <sha256> --json --db station.db", kImei},
    {"packaging/man/vek-report.1", "vek-report module A0000012345678", kMeid},
    {"packaging/man/vek-report.1", "vek-report nv 356938035643809 --first --out backup.nvb", ""},
    {"packaging/man/vek-report.1", "vek-report nv 356938035643809 --sha <sha256> --out backup.nvb", ""},
    {"packaging/man/vek-report.1", "vek-report summary --since today", "succeeded"},
    {"docs/line.md",
     "vek-report line-init 'postgresql://vek_line_owner@line-db.example.org/vekline?sslmode=verify-full&sslrootcert=/"
     "etc/vek/line-ca.crt'", "schema version 1"},
    {"docs/line.md", "vek-report line-init URL", "schema version 1"},
    {"packaging/man/vek-report.1", "vek-report line-init service=vekline", "schema version 1"},
    {"docs/line.md", "vek-report ship --line-db service=vekline", "3 job(s) shipped, 0 left"},
    {"docs/line.md", "vek-report ship", "0 job(s) shipped, 0 left"},
    {"packaging/man/vek-report.1", "vek-report ship --db station.db --line-db service=vekline", "0 job(s) shipped"},
    {"docs/line.md", "vek-report --line-db service=vekline-audit jobs --image-set <sha256>", "station-7"},
    {"docs/line.md", "vek-report --line-db service=vekline-audit module 356938035643809", "station-7"},
    {"docs/line.md", "vek-report --line-db service=vekline-audit nv 356938035643809 --out backup.nvb", ""},
    {"docs/line.md", "vek-report --line-db service=vekline-audit summary --since 2026-12-01", "station-7"},
    {"packaging/man/vek-report.1", "vek-report jobs --module 356938035643809 --line-db service=vekline-audit", "image"},
    {"packaging/man/vek-report.1", "vek-report jobs --module a0000012345678 --line-db service=vekline-audit", kMeid},
};

TEST(VekReportCommandLines, EveryOneTheDocumentsShowRuns) {
  const std::string source = std::filesystem::path(VEK_TEST_SOURCE_DIR).parent_path();
  std::set<std::pair<std::string, std::string>> tested;
  for (const Documented& shown : kDocumented) {
    tested.insert({shown.where, shown.line});
    const std::string text = std::regex_replace(Replaced(vektest::ReadWhole(source + "/" + shown.where), "\\-", "-"),
                                                std::regex("\\s+"), " ");
    EXPECT_NE(text.find(shown.line), std::string::npos) << shown.where << " no longer shows " << shown.line;
  }
  std::vector<std::string> documents = {"README.md"};
  for (const char* folder : {"docs", "packaging/man"})
    for (const auto& file : std::filesystem::directory_iterator(source + "/" + folder))
      documents.push_back(std::filesystem::relative(file.path(), source));
  for (const std::string& where : documents)
    for (const std::string& line : ShownLines(source + "/" + where))
      EXPECT_TRUE(tested.contains({where, line})) << where << " shows a command line no test runs: " << line;

  vektest::TempDir dir;
  vektest::PgCluster line(20000 + getpid() % 10000);
  ASSERT_TRUE(line.ready());
  std::ofstream(dir.File("services")) << "[vekline]\n" << Replaced(line.Url(), " ", "\n") << "\n[vekline-audit]\n"
                                      << Replaced(line.Url(), " ", "\n") << "\n";
  Station(dir.File("station.db"));
  const std::string environment = "cd " + dir.path() + " && VEK_STATION_DB=station.db PGSERVICEFILE=services " +
                                  "VEK_LINE_DB=service=vekline ";
  for (const Documented& shown : kDocumented) {
    std::string line_as_run = Replaced(Replaced(Replaced(shown.line, "sudo -u vek ", ""), "<sha256>", kSha),
                                       "/var/lib/vek/station.db", dir.File("station.db"));
    line_as_run = std::regex_replace(line_as_run, std::regex("'postgresql://.*'|\\bURL\\b"), "service=vekline");
    const auto [out, status] = Shell(environment + Replaced(line_as_run, "vek-report", kReport));
    EXPECT_EQ(status, 0) << shown.line << "\n" << out;
    EXPECT_NE(out.find(shown.shows), std::string::npos) << shown.line << "\n" << out;
    const bool writes = line_as_run.find("--out") != std::string::npos;
    EXPECT_EQ(std::filesystem::remove(dir.File("backup.nvb")), writes) << shown.line;
  }
}

struct Words {
  std::string args;  // after vek-report; {db} and {dir} stand for the test's
  int status;
  std::string shows;
};

void PrintTo(const Words& words, std::ostream* out) { *out << words.args; }

class VekReportWords : public ::testing::TestWithParam<Words> {};

TEST_P(VekReportWords, AreTakenOrRefusedAndEveryFailureNamesItsDatabase) {
  vektest::TempDir dir;
  Station(dir.File("station.db"));
  auto filled = [&](const std::string& text) {
    return Replaced(Replaced(text, "{db}", dir.File("station.db")), "{dir}", dir.path());
  };
  const auto [out, status] = Shell("cd " + dir.path() + " && " + kReport + " " + filled(GetParam().args));
  EXPECT_EQ(status, GetParam().status) << out;
  EXPECT_NE(out.find(filled(GetParam().shows)), std::string::npos) << out;
  EXPECT_EQ(out.find(vektest::PgCluster::kPassword), std::string::npos) << out;
}

// A line database that is not there, named with a password no message may show.
const std::string kNoLine =
    std::string("'host=/nonexistent dbname=vekline password=") + vektest::PgCluster::kPassword + "'";

INSTANTIATE_TEST_SUITE_P(
    Cases, VekReportWords,
    ::testing::Values(
        Words{"jobs --db {db}", 0, kImei}, Words{"--db {db} jobs --db {db}", 0, kImei},
        Words{"--db {db} jobs --db {dir}/other.db", 2, "--db is given twice"},
        Words{"--db {db} jobs --line-db service=vekline", 2, "--db and --line-db"},
        Words{"module " + std::string(kImei) + " --db {db} --line-db service=vekline", 2, "--db and --line-db"},
        Words{"--db {db} jobs --since 2026-13-45", 2, "--since expects"},
        Words{"--db {db} summary --since 2026-02-29", 2, "--since expects"},
        Words{"--db {db} jobs --since 2026-12-01T25:00:00Z", 2, "--since expects"},
        Words{"--db {db} jobs --since 25:00:00", 2, "--since expects"},
        Words{"--db {db} jobs --since 2028-02-29", 0, "STARTED"},
        Words{"--db {db} jobs --since 2026-12-02T00:00:00Z", 0, "image"},
        Words{"--db {db} jobs --module a0000012345678", 0, kMeid},
        Words{"--db {db} jobs --image-set " + Replaced(kSha, "abcdef", "ABCDEF"), 0, kImei},
        Words{"--db {db} nv A0000012345678 --out one.nvb", 0, ""},
        Words{"--db {db} nv 356938035643809 --sha " + Replaced(kSha, "abcdef", "ABCDEF") + " --out two.nvb", 0, ""},
        Words{"--db {db} module ''", 2, "a module is named"}, Words{"--db {db} nv '' --out f", 2, "a module is named"},
        Words{"--db {db} jobs --module ''", 2, "a module is named"}, Words{"--db '' jobs", 2, "--db expects"},
        Words{"--db {db} jobs --image-set ''", 2, "--image-set expects"},
        Words{"--db {db} nv 356938035643809 --out ''", 2, "--out expects"},
        Words{"--db {db} nv 123456789012345 --out f", 1, "no such NV backup of 123456789012345 is kept in {db}"},
        Words{"--db {dir}/none.db jobs", 1, "no station database at {dir}/none.db"},
        Words{"--db {dir} jobs", 1, "cannot read {dir}: it is a folder\n"},
        Words{"--line-db " + kNoLine + " jobs", 1, "cannot read /nonexistent/vekline: "},
        Words{"line-init " + kNoLine, 1, "line database not made ready: /nonexistent/vekline: "},
        Words{"--db {db} ship --line-db " + kNoLine, 1, "line record not shipped: /nonexistent/vekline: "}));

// A database it may only read: in a folder it may not write (tests that run as
// root ask as nobody), or one a newer VEK made.
struct ReadOnly {
  const char* name;
  // Makes folder/station.db from `made` while `writing` has it open; else it is `made` as closed.
  std::function<void(vek::StationDb& writing, const std::string& made, const std::string& folder)> make;
  std::string args;
  int status;
  std::string shows;
};

void PrintTo(const ReadOnly& read_only, std::ostream* out) { *out << read_only.name; }

class VekReportReadOnly : public ::testing::TestWithParam<ReadOnly> {};

TEST_P(VekReportReadOnly, ReadsWhatItCanAndSaysWhyNotOtherwise) {
  vektest::TempDir dir;
  const std::string folder = dir.File("ro"), db = folder + "/station.db";
  std::filesystem::create_directory(folder);
  {
    std::unique_ptr<vek::StationDb> writing = Station(dir.File("made.db"));
    ASSERT_TRUE(writing);
    GetParam().make(*writing, dir.File("made.db"), folder);
  }
  if (!std::filesystem::exists(db)) std::filesystem::copy_file(dir.File("made.db"), db);
  const std::string before = vektest::ReadWhole(db);
  chmod(dir.path().c_str(), 0755);
  chmod(folder.c_str(), 0555);
  for (const auto& file : std::filesystem::directory_iterator(folder)) chmod(file.path().c_str(), 0644);
  const std::string as = geteuid() == 0 ? "runuser -u nobody -- " : "";
  const auto [out, status] = Shell(as + kReport + " --db " + db + " " + GetParam().args);
  EXPECT_EQ(status, GetParam().status) << out;
  EXPECT_NE(out.find(Replaced(GetParam().shows, "{db}", db)), std::string::npos) << out;
  EXPECT_EQ(vektest::ReadWhole(db), before);
  chmod(folder.c_str(), 0755);
}

void Copied(const std::string& from, const std::string& folder, std::vector<const char*> endings) {
  for (const char* ending : endings) std::filesystem::copy_file(from + ending, folder + "/station.db" + ending);
}

std::function<void(vek::StationDb&, const std::string&, const std::string&)> Newer(const char* change) {
  return [change](vek::StationDb& writing, const std::string&, const std::string&) {
    std::string reason;
    EXPECT_TRUE(writing.Exec(change, reason) && writing.Exec("PRAGMA user_version = 2", reason)) << reason;
  };
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VekReportReadOnly,
    ::testing::Values(
        ReadOnly{"Closed", [](vek::StationDb&, const std::string&, const std::string&) {}, "jobs", 0, kMeid},
        // Copied while its writer had it open: the rows are in its log.
        ReadOnly{"WithItsLog",
                 [](vek::StationDb&, const std::string& made, const std::string& to) {
                   Copied(made, to, {"", "-wal", "-shm"});
                 },
                 "module a0000012345678", 0, "first (as it arrived)"},
        ReadOnly{"WithItsLogAlone",
                 [](vek::StationDb&, const std::string& made, const std::string& to) {
                   Copied(made, to, {"", "-wal"});
                 },
                 "jobs", 1, "cannot read {db}: rows in {db}-wal can be read only where {db}-shm can be made"},
        ReadOnly{"NewerWithAColumnMore", Newer("ALTER TABLE jobs ADD COLUMN batch TEXT"), "jobs --json", 0,
                 "\"batch\":null"},
        ReadOnly{"NewerWithoutAColumn", Newer("ALTER TABLE nv_backups DROP COLUMN records"), "jobs", 1,
                 "cannot read {db}: its schema (version 2) is newer than this VEK knows (1) and lacks "
                 "nv_backups.records of it"}),
    [](const auto& info) { return std::string(info.param.name); });

// vek-cli's and vek-factory's help give --station-db and --no-station-db their words on their own line.
TEST(StationDbHelp, SaysWhatEachOptionDoes) {
  for (const char* program : {"vek-cli", "vek-factory"}) {
    const std::string help = Shell(std::string(VEK_BINARY_DIR) + "/cli/" + program + " --help").first;
    for (const char* option : {"--station-db FILE  ", "--no-station-db  "})
      EXPECT_TRUE(std::regex_search(help, std::regex(std::string("\n  ") + option + " *keep [^\n]*; not with")))
          << program << "\n" << help;
  }
}

}  // namespace
