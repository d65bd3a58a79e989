// vek-report as an auditor runs it, against real SQLite files the store's own writer made and a real line
// database: every command line the documents show, the words it takes and refuses, databases it may only read.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <map>
#include <regex>

#include "factory_process.h"
#include "pg_cluster.h"
#include "sha256sum_tool.h"
#include "store/station_rows.h"
#include "test_paths.h"

namespace {

constexpr char kImei[] = "356938035643809", kMeid[] = "A0000012345678";  // the MEID kept in upper case
// The SHA-256 of job a's NV backup, 01 02 (b's: 01 02 62): its readers check the bytes against it.
const std::string kSha = "a12871fee210fb8619291eaea194581cbd2531e4b23759d225f6806923f63222";
const std::string kShaOfB = "41ad9f1de35658929da5073681caa2f2fa5fca6e2edea36f825e476b5df8804b";

std::pair<std::string, int> Shell(const std::string& command) {  // its output and exit status
  const std::string out = vektest::OutputOf(command + " 2>&1; echo \" $?\"");
  return {out.substr(0, out.rfind(' ')), std::atoi(out.c_str() + out.rfind(' '))};
}

// Jobs a (2026-12-01, its NV backup's SHA-256 the image set's), c (its module's failure) and b (a MEID's, now).
std::unique_ptr<vek::StationDb> Station(const std::string& path) {
  std::string reason, now = vek::UtcText(std::chrono::system_clock::now());
  auto db = vek::StationDb::Open(path, vek::StationDb::Mode::kWrite, reason);
  for (const auto& [id, started, imei, meid] : std::vector<std::array<std::string, 4>>{
           {"a", "2026-12-01T08:00:00Z", kImei, ""}, {"c", "2026-12-02T00:00:00Z", kImei, ""}, {"b", now, "", kMeid}}) {
    const vek::StationJobRow row{.id = id, .started_utc = started, .station = "station-7", .program = "vek-cli",
                                 .vek_version = VEK_VERSION, .imei = imei, .meid = meid, .image_set_sha256 = kSha,
                                 .result = id == "c" ? "failed" : "succeeded", .failed_step = id == "c" ? "image" : ""};
    const vek::StationNvBackup backup{id == "a" ? kSha : kShaOfB, imei + meid, id, started, 3,
                                      id == "a" ? std::vector<uint8_t>{1, 2} : std::vector<uint8_t>{1, 2, 'b'}};
    EXPECT_TRUE(db && vek::WriteJobRow(*db, row, reason) && (id == "c" || vek::WriteNvBackup(*db, backup, reason)));
  }
  return db;
}

// A command line in the test's folder ("nobody ": as nobody when the test runs as root), its exit status and words.
struct Case { std::string line; int status; std::string shows; };

// The example command lines of `file`, each without its comment, to exit 0: in a
// man page those of its EXAMPLES, elsewhere those of its code blocks (fenced or indented).
void AddShownLines(const std::string& file, std::vector<Case>& lines) {
  std::ifstream in(file);
  bool example = false, fenced = false;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(".SH")) example = line == ".SH EXAMPLES";
    if (line.starts_with("```")) fenced = !fenced;
    const bool code = file.ends_with(".1") ? example : fenced || line.starts_with("    ");
    line = std::regex_replace(line, std::regex("\\\\(?=-)|^ +| *#.*$"), "");
    // serve runs until it is stopped: its own test runs it.
    if (code && std::regex_search(line, std::regex("^(sudo -u vek )?vek-report ")) && line.find(" serve") == line.npos)
      lines.push_back({line, 0, ""});
  }
}

// Besides the documents' own, where every command that lists jobs lists one; the prose's first.
const Case kCases[] = {
    {"vek-report line-init URL", 0, ""}, {"vek-report ship --line-db service=vekline", 0, ""},
    {"vek-report jobs --db station.db", 0, kImei}, {"vek-report jobs --module a0000012345678", 0, kMeid},
    {"vek-report --db station.db jobs --db x.db", 2, "--db is given twice"}, {"vek-report module ''", 2, "a module"},
    {"vek-report module 356938035643809 --db station.db --line-db service=x", 2, "--db and --line-db name two"},
    {"vek-report jobs --since 2026-13-45", 2, "--since expects"}, {"vek-report summary --since 2026-02-29", 2, ""},
    {"vek-report jobs --since 2026-12-01T25:00:00Z", 2, ""}, {"vek-report jobs --since 2028-02-29", 0, "STARTED"},
    {"vek-report jobs --since 2026-12-02T00:00:00Z", 0, "image"}, {"vek-report jobs --module ''", 2, "a module"},
    {"vek-report nv 356938035643809 --out backup.nvb --sha A12871FEE210FB86" + kSha.substr(16), 0, ""},
    {"vek-report nv '' --out backup.nvb", 2, "a module is named"}, {"vek-report --db '' jobs", 2, "--db expects"},
    {"vek-report --db . jobs", 1, "cannot read .: it is a folder\n"},
    {"vek-report serve --http 8751", 2, "--http expects ADDR:PORT"},
    {"vek-report serve --http 192.0.2.1:8751", 1, "vek-report: pages not served: "},
    {"vek-report nv 123456789012345 --out backup.nvb", 1, "no such NV backup of 123456789012345 is kept in station.db"},
    {"vek-report --line-db 'host=/nonexistent dbname=vekline password=" + std::string(vektest::PgCluster::kPassword) +
         "' jobs", 1, "cannot read /nonexistent/vekline: "},
    {"nobody vek-report --db ro/closed.db jobs", 0, kMeid}, {"vek-cli --help", 0, "--station-db FILE           keep"},
    {"nobody vek-report --db ro/open.db module a0000012345678", 0, "first (as it arrived)"},
    {"nobody vek-report --db ro/alone.db jobs", 1, "cannot read ro/alone.db: rows in ro/alone.db-wal can be read"},
    {"nobody vek-report --db ro/newer.db jobs --json", 0, "\"batch\":null"},
    {"nobody vek-report --db ro/lacking.db jobs", 1, "newer than this VEK knows (3) and lacks nv_backups.records"},
    {"vek-factory --help", 0, "\n  --no-station-db             keep no record of the jobs"},
};

TEST(VekReport, RunsEveryCommandLineTheDocumentsShowAndTellsWhyItRefusesOthers) {
  const std::filesystem::path source = std::filesystem::path(vektest::TestSourceDir()).parent_path();
  std::vector<Case> cases(std::begin(kCases), std::end(kCases));
  for (const char* folder : {"", "docs", "packaging/man"})
    for (const auto& document : std::filesystem::directory_iterator(source / folder))
      if (std::regex_search(document.path().string(), std::regex("/README\\.md$|/docs/.*\\.md$|\\.1$")))
        AddShownLines(document.path(), cases);
  ASSERT_GE(cases.size(), std::size(kCases) + 25);
  vektest::TempDir dir;
  vektest::PgCluster line(20000 + getpid() % 10000);
  const std::string service = std::regex_replace(line.Url() + " ", std::regex(" "), "\n");
  std::ofstream(dir.File("services")) << "[vekline]\n" << service << "[vekline-audit]\n" << service;
  // Databases it may only read, in a folder the test's user may not write: copied with their logs while their
  // writer has them open, closed, or closed by a newer VEK that added a column or left one out.
  const std::string ro = dir.File("ro/");
  std::filesystem::create_directory(ro);
  if (auto open = Station(dir.File("open.db")))
    Shell("cd " + dir.path() + " && cp open.db* ro && cp open.db ro/alone.db && cp open.db-wal ro/alone.db-wal");
  for (const auto& [name, change] : std::map<std::string, std::string>{
           {"closed.db", ""}, {"newer.db", "ALTER TABLE jobs ADD COLUMN batch TEXT; PRAGMA user_version = 4"},
           {"lacking.db", "ALTER TABLE nv_backups DROP COLUMN records; PRAGMA user_version = 4"}}) {
    std::string reason;
    EXPECT_TRUE(Station(dir.File(name))->Exec(("SELECT 1;" + change).c_str(), reason)) << reason;
    std::filesystem::copy_file(dir.File(name), ro + name);  // closed: its rows all in the file
  }
  Shell("chmod 644 " + ro + "* && chmod 755 " + dir.path() + " && chmod 555 " + ro);
  const std::string before = vektest::ReadWhole(ro + "closed.db");
  Station(dir.File("station.db"));
  const std::string in = "cd " + dir.path() + " && export VEK_STATION_DB=station.db PGSERVICEFILE=services " +
                         "VEK_LINE_DB=service=vekline && ", bin = std::string(vektest::BinaryDir()) + "/cli/";
  ASSERT_EQ(Shell(in + bin + "vek-report line-init service=vekline && " + bin + "vek-report ship").second, 0);
  for (const Case& c : cases) {
    std::string run = std::regex_replace(c.line, std::regex("^sudo -u vek |^nobody "),
                                         geteuid() || c.line[0] != 'n' ? "" : "runuser -u nobody -- ");
    for (const auto& [from, to] : std::map<std::string, std::string>{
             {"/var/lib/vek/station.db", "station.db"}, {"'postgresql://.*'|\\bURL\\b", "service=vekline"},
             {"<sha256>", kSha}, {"vek-(report|cli|factory) ", bin + "$&"}})
      run = std::regex_replace(run, std::regex(from), to);
    const auto [out, status] = Shell(in + run);
    EXPECT_EQ(status, c.status) << c.line << "\n" << out;
    EXPECT_NE(out.find(c.shows), std::string::npos) << c.line << "\n" << out;
    EXPECT_EQ(out.find(vektest::PgCluster::kPassword), std::string::npos) << out;
    const bool lists = status == 0 && c.shows.empty() && std::regex_search(run, std::regex(" (jobs|module) "));
    EXPECT_GE(std::count(out.begin(), out.end(), '\n'), lists ? 2 : 0) << c.line << "\n" << out;
    EXPECT_EQ(std::filesystem::remove(dir.File("backup.nvb")), status == 0 && run.find("--out") != std::string::npos);
  }
  EXPECT_EQ(vektest::ReadWhole(ro + "closed.db"), before) << "a database it may only read changed";
  Shell("chmod 755 " + ro);
}

}  // namespace
