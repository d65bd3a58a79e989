// vek-report as an auditor runs it, against real SQLite files the store's own
// writer made: every command line the documents show, the words it takes and
// refuses, databases it may only read; vek-cli's and vek-factory's help.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <regex>

#include "factory_process.h"
#include "pg_cluster.h"
#include "store/station_rows.h"

namespace {

constexpr char kImei[] = "356938035643809", kMeid[] = "A0000012345678";  // the MEID kept in upper case
const std::string kSha = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kBin = std::string(VEK_BINARY_DIR) + "/cli/";

std::pair<std::string, int> Shell(const std::string& command) {  // its output and exit status
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

// A module's success (its first backup's SHA-256 that of the image set) on
// 2026-12-01 and its failure a day later; a MEID module's job of now.
std::unique_ptr<vek::StationDb> Station(const std::string& path) {
  std::string reason;
  auto db = vek::StationDb::Open(path, vek::StationDb::Mode::kWrite, reason);
  using Job = std::tuple<const char*, std::string, const char*, const char*, const char*, std::string>;
  for (const auto& [id, started, imei, meid, result, backup] :
       std::vector<Job>{{"a", "2026-12-01T08:00:00Z", kImei, "", "succeeded", kSha},
                        {"c", "2026-12-02T00:00:00Z", kImei, "", "failed", ""},
                        {"b", vek::UtcText(std::chrono::system_clock::now()), "", kMeid, "succeeded", "b"}}) {
    const vek::StationJobRow row{.id = id, .started_utc = started, .station = "station-7", .program = "vek-cli",
                                 .vek_version = VEK_VERSION, .imei = imei, .meid = meid, .image_set_sha256 = kSha,
                                 .result = result, .failed_step = *id == 'c' ? "image" : ""};
    const vek::StationNvBackup taken{backup, std::string(imei) + meid, id, started, 3, {1, 2}};
    EXPECT_TRUE(db && vek::WriteJobRow(*db, row, reason) && (backup.empty() || vek::WriteNvBackup(*db, taken, reason)))
        << reason;
  }
  return db;
}

// The example command lines of `file`, each without its comment: in a man page
// those of its EXAMPLES, elsewhere those of its code blocks (fenced or indented).
void AddShownLines(const std::string& file, std::vector<std::string>& lines) {
  std::ifstream in(file);
  bool example = false, fenced = false;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(".SH")) example = line == ".SH EXAMPLES";
    if (line.starts_with("```")) fenced = !fenced;
    const bool code = file.ends_with(".1") ? example : fenced || line.starts_with("    ");
    line = std::regex_replace(Replaced(line, "\\-", "-"), std::regex("^ +| *#.*$"), "");
    if (code && std::regex_search(line, std::regex("^(sudo -u vek )?vek-report "))) lines.push_back(line);
  }
}

// Run as the documents show them, the line's database made ready and shipped to
// before it is asked; every command that lists jobs lists at least one.
TEST(VekReportCommandLines, EveryOneTheDocumentsShowRuns) {
  const std::filesystem::path source = std::filesystem::path(VEK_TEST_SOURCE_DIR).parent_path();
  std::vector<std::string> lines = {"vek-report line-init URL", "vek-report ship --line-db service=vekline"};  // prose
  AddShownLines(source / "README.md", lines);
  for (const char* folder : {"docs", "packaging/man"})
    for (const auto& document : std::filesystem::directory_iterator(source / folder))
      if (document.path().extension() == ".md" || document.path().extension() == ".1")
        AddShownLines(document.path(), lines);
  ASSERT_GE(lines.size(), 25u);
  auto rank = [npos = std::string::npos](const std::string& line) {
    return line.find("line-init") != npos ? 0 : line.find(" ship") != npos ? 1 : line.find("--line-db") != npos ? 2 : 0;
  };
  std::stable_sort(lines.begin(), lines.end(), [&](const auto& a, const auto& b) { return rank(a) < rank(b); });
  vektest::TempDir dir;
  vektest::PgCluster line(20000 + getpid() % 10000);
  ASSERT_TRUE(line.ready());
  for (const char* service : {"[vekline]\n", "[vekline-audit]\n"})
    std::ofstream(dir.File("services"), std::ios::app) << service << Replaced(line.Url(), " ", "\n") << "\n";
  Station(dir.File("station.db"));
  for (const std::string& shown : lines) {
    std::string run = Replaced(Replaced(shown, "sudo -u vek ", ""), "/var/lib/vek/station.db", "station.db");
    run = std::regex_replace(Replaced(run, "<sha256>", kSha), std::regex("'postgresql://.*'|\\bURL\\b"),
                             "service=vekline");
    const auto [out, status] = Shell("cd " + dir.path() + " && VEK_STATION_DB=station.db PGSERVICEFILE=services " +
                                     "VEK_LINE_DB=service=vekline " + kBin + run);
    EXPECT_EQ(status, 0) << shown << "\n" << out;
    const bool lists = std::regex_search(run, std::regex(" (jobs|module) "));
    EXPECT_GE(std::count(out.begin(), out.end(), '\n'), lists ? 2 : 0) << shown << "\n" << out;
    EXPECT_EQ(std::filesystem::remove(dir.File("backup.nvb")), run.find("--out") != std::string::npos) << shown;
  }
}

// Makes the database only read, folder/station.db, from `made` while it is open;
// the folder is then made one the test's user (nobody, for root) may not write.
using ReadOnly = std::function<void(vek::StationDb& writing, const std::string& made, const std::string& folder)>;

struct Case {
  std::string args, shows;  // {db} and {dir} stand for the test's
  int status;
  ReadOnly read_only = nullptr;
};
void PrintTo(const Case& c, std::ostream* out) { *out << c.args; }

class VekReport : public ::testing::TestWithParam<Case> {};

TEST_P(VekReport, TakesOrRefusesItsWordsAndNamesTheDatabaseOfEveryFailure) {
  vektest::TempDir dir;
  std::string db = dir.File("station.db"), as;
  if (const ReadOnly& make = GetParam().read_only) {
    std::filesystem::create_directory(dir.File("ro"));
    if (auto writing = Station(dir.File("made.db"))) make(*writing, dir.File("made.db"), dir.File("ro"));
    db = dir.File("ro/station.db");
    std::filesystem::copy_file(dir.File("made.db"), db, std::filesystem::copy_options::skip_existing);
    for (const auto& file : std::filesystem::directory_iterator(dir.File("ro"))) chmod(file.path().c_str(), 0644);
    chmod(dir.path().c_str(), 0755);
    chmod(dir.File("ro").c_str(), 0555);
    as = geteuid() == 0 ? "runuser -u nobody -- " : "";
  } else {
    Station(db);
  }
  const std::string before = vektest::ReadWhole(db);
  auto filled = [&](const std::string& text) { return Replaced(Replaced(text, "{db}", db), "{dir}", dir.path()); };
  const auto [out, status] = Shell("cd " + dir.path() + " && " + as + kBin + "vek-report " + filled(GetParam().args));
  EXPECT_EQ(status, GetParam().status) << out;
  EXPECT_NE(out.find(filled(GetParam().shows)), std::string::npos) << out;
  EXPECT_EQ(out.find(vektest::PgCluster::kPassword), std::string::npos) << out;
  EXPECT_TRUE(!GetParam().read_only || vektest::ReadWhole(db) == before);
  chmod(dir.File("ro").c_str(), 0755);
}

const std::string kNoLine =
    std::string("'host=/nonexistent dbname=vekline password=") + vektest::PgCluster::kPassword + "'";
ReadOnly Copied(std::vector<const char*> endings) {
  return [=](vek::StationDb&, const std::string& made, const std::string& folder) {
    for (const char* ending : endings) std::filesystem::copy_file(made + ending, folder + "/station.db" + ending);
  };
}
ReadOnly Newer(const char* change) {
  return [=](vek::StationDb& writing, const std::string&, const std::string&) {
    std::string reason;
    EXPECT_TRUE(writing.Exec(change, reason) && writing.Exec("PRAGMA user_version = 2", reason)) << reason;
  };
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VekReport,
    ::testing::Values(
        Case{"jobs --db {db}", kImei, 0}, Case{"--db {db} jobs --db {dir}/other.db", "--db is given twice", 2},
        Case{"module 356938035643809 --db {db} --line-db service=x", "--db and --line-db name two databases", 2},
        Case{"--db {db} jobs --since 2026-13-45", "--since expects", 2},
        Case{"--db {db} summary --since 2026-02-29", "--since expects", 2},
        Case{"--db {db} jobs --since 2026-12-01T25:00:00Z", "--since expects", 2},
        Case{"--db {db} jobs --since 2028-02-29", "STARTED", 0}, Case{"--db {db} jobs --since today", kMeid, 0},
        Case{"--db {db} jobs --since 2026-12-02T00:00:00Z", "image", 0},
        Case{"--db {db} jobs --module a0000012345678", kMeid, 0},
        Case{"--db {db} nv 356938035643809 --out f --sha " + Replaced(kSha, "abcdef", "ABCDEF"), "", 0},
        Case{"--db {db} module ''", "a module is named", 2}, Case{"--db {db} jobs --module ''", "a module is named", 2},
        Case{"--db '' jobs", "--db expects", 2}, Case{"--db {dir} jobs", "cannot read {dir}: it is a folder\n", 1},
        Case{"--db {db} nv 123456789012345 --out f", "no such NV backup of 123456789012345 is kept in {db}", 1},
        Case{"--line-db " + kNoLine + " jobs", "cannot read /nonexistent/vekline: ", 1},
        Case{"--db {db} jobs", kMeid, 0, Copied({})},
        // Copied while its writer had it open: its rows are in its log.
        Case{"--db {db} module a0000012345678", "first (as it arrived)", 0, Copied({"", "-wal", "-shm"})},
        Case{"--db {db} jobs", "cannot read {db}: rows in {db}-wal can be read only where {db}-shm", 1,
             Copied({"", "-wal"})},
        Case{"--db {db} jobs --json", "\"batch\":null", 0, Newer("ALTER TABLE jobs ADD COLUMN batch TEXT")},
        Case{"--db {db} jobs", "(version 2) is newer than this VEK knows (1) and lacks nv_backups.records of it", 1,
             Newer("ALTER TABLE nv_backups DROP COLUMN records")}));

TEST(StationDbHelp, GivesEachOptionItsWordsOnItsLine) {
  for (const char* program : {"vek-cli", "vek-factory"})
    for (const char* option : {"--station-db FILE ", "--no-station-db "})
      EXPECT_TRUE(std::regex_search(Shell(kBin + program + " --help").first,
                                    std::regex(std::string("\n  ") + option + " *keep [^\n]*; not with")))
          << program << " " << option;
}

}  // namespace
