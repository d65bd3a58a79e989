// The station's record end to end: vek-cli as a child process against a
// simulated module, its record in a real SQLite file read back by vek-report.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <thread>

#include "factory_process.h"
#include "one_module_job.h"
#include "silent_line_database.h"
#include "store/station_db.h"
#include "test_paths.h"

namespace {

using nlohmann::json;
using vektest::CliRun;

constexpr char kNotWritten[] = "station record not written: ";

int Occurrences(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

class StationRecord : public vektest::OneModuleJob {
 protected:
  CliRun Job() {
    return Cli({"--station-db", db_, "--events", dir_.File("events.jsonl")}, images_);
  }

  // vek-report's standard output and exit status.
  std::pair<std::string, int> Report(const std::string& args) {
    const std::string command = std::string(vektest::BinaryDir()) + "/cli/vek-report --db " + db_ + " " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    for (size_t n; pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    const int status = pipe ? pclose(pipe) : -1;
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
  }
  std::vector<json> JobsJson() {
    std::vector<json> rows;
    const auto [out, status] = Report("jobs --json");
    EXPECT_EQ(status, 0) << out;
    for (size_t start = 0, end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
      rows.push_back(json::parse(out.substr(start, end - start)));
    return rows;
  }
  // The job's events of these types, in order; the last record event.
  std::vector<json> Events(const std::set<std::string>& types) {
    std::ifstream events(dir_.File("events.jsonl"));
    std::vector<json> found;
    for (std::string line; std::getline(events, line);)
      if (json event = json::parse(line, nullptr, false); types.contains(event.value("type", ""))) found.push_back(event);
    return found;
  }
  json RecordEvent() { return Events({"record"}).empty() ? json() : Events({"record"}).back(); }
  std::string imei() const { return module_->options().at.imei; }

  std::string db_ = dir_.File("db/station.db");
};

TEST_F(StationRecord, AJobIsKeptWithItsBackupAndVekReportGivesTheBackupBackByteForByte) {
  // An empty file others may read, where the database goes: made the operator's alone.
  namespace fs = std::filesystem;
  fs::create_directories(dir_.File("db"));
  fs::permissions(dir_.File("db"), fs::perms::owner_all);
  std::ofstream{db_};
  fs::permissions(db_, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  const CliRun run = Job();
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_EQ(Occurrences(run.out, kNotWritten), 0) << run.out;
  EXPECT_EQ(std::filesystem::status(db_).permissions() & std::filesystem::perms::all, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  EXPECT_EQ(std::filesystem::status(dir_.File("db")).permissions() & std::filesystem::perms::all, std::filesystem::perms::owner_all);

  const std::vector<json> rows = JobsJson();
  ASSERT_EQ(rows.size(), 1u);
  const json& row = rows[0];
  EXPECT_EQ(row["result"], "succeeded");
  EXPECT_EQ(row["program"], "vek-cli");
  EXPECT_EQ(row["imei"], imei());
  EXPECT_EQ(row["version_before"], "ZX2180_SIM_V1.0");
  EXPECT_EQ(row["version_after"], "ZX2180_SIM_V1.1");
  EXPECT_EQ(row["exit_status"], 0);
  EXPECT_GT(row["nv_records"].get<int>(), 0);
  EXPECT_EQ(row["image_set_sha256"].get<std::string>().size(), 64u);
  EXPECT_NE(row["log"].get<std::string>().find("image set SHA-256: "), std::string::npos);
  const json record = RecordEvent();
  EXPECT_EQ(record.value("written", false), true) << record.dump();
  EXPECT_EQ(record.value("id", ""), row["id"]);

  ASSERT_EQ(Report("nv " + imei() + " --out " + dir_.File("back.nvb")).second, 0);
  EXPECT_EQ(vektest::ReadWhole(dir_.File("back.nvb")), vektest::ReadWhole(dir_.File("work/backup.nvb")));
  EXPECT_EQ(std::filesystem::status(dir_.File("back.nvb")).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  // Never over a file that is there; bad words and a missing database are told apart.
  EXPECT_EQ(Report("nv " + imei() + " --out " + dir_.File("back.nvb")).second, 1);
  EXPECT_EQ(Report("jobs --since tomorrow").second, 2);
  EXPECT_EQ(Report("module " + imei()).first.find("first (as it arrived)") != std::string::npos, true);
  const auto missing = std::string(vektest::BinaryDir()) + "/cli/vek-report --db " + dir_.File("none.db") + " jobs >/dev/null 2>&1";
  EXPECT_EQ(WEXITSTATUS(std::system(missing.c_str())), 1);
}

// A database that cannot be written: the job's result is its own, the warning
// comes once, the file is left as it was.
struct Unwritable {
  const char* name;
  std::function<void(const std::string& path)> spoil;
  bool held = false;            // another writer holds it past the busy timeout while the job runs
  const char* path = nullptr;   // a path of the system's instead of the test's own
  bool no_path_written = false; // nothing may be made beside the path (or the file it links to)
};

// What a path holds now, when it is (or links to) a plain file; a FIFO is never read.
std::string Contents(const std::string& path) {
  return std::filesystem::is_regular_file(path) ? vektest::ReadWhole(path) : std::string();
}

class UnwritableStationDb : public StationRecord, public ::testing::WithParamInterface<Unwritable> {};

std::unique_ptr<vek::StationDb> Made(const std::string& path) {
  std::string reason;
  auto db = vek::StationDb::Open(path, vek::StationDb::Mode::kWrite, reason);
  EXPECT_TRUE(db) << reason;
  return db;
}

TEST_P(UnwritableStationDb, LeavesTheJobAndTheFileAsTheyAreAndSaysSoOnce) {
  std::filesystem::create_directories(dir_.File("db"));
  if (GetParam().path) db_ = GetParam().path;
  GetParam().spoil(db_);
  // Read before the lock is taken: closing any descriptor of the file would
  // give up this process's locks on it.
  const std::string before = Contents(db_);
  std::unique_ptr<vek::StationDb> holder;
  if (GetParam().held) {
    holder = Made(db_);
    std::string reason;
    ASSERT_TRUE(holder->Exec("BEGIN EXCLUSIVE", reason)) << reason;
  }
  const CliRun run = Job();
  holder.reset();
  EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_EQ(Occurrences(run.out, kNotWritten), 1) << run.out;
  EXPECT_NE(vektest::ReadWhole(dir_.File("work/vek.log")).find(kNotWritten), std::string::npos);
  EXPECT_EQ(RecordEvent().value("written", true), false) << RecordEvent().dump();
  EXPECT_TRUE(Contents(db_) == before) << "the database file changed";
  if (GetParam().held) {
    // The row waited beside the job; the next job puts it in, as it ended.
    EXPECT_NE(run.out.find("station record kept in " + dir_.File("work/record-pending") +
                           " until the database takes it\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(Job().exit_status, 0);
    const std::vector<json> rows = JobsJson();
    ASSERT_EQ(rows.size(), 2u);
    for (const json& row : rows) EXPECT_EQ(row.value("result", ""), "succeeded") << row.dump();
    EXPECT_FALSE(std::filesystem::exists(dir_.File("work/record-pending")));
  }
  if (GetParam().no_path_written) {
    EXPECT_NE(run.out.find(kNotWritten + db_ + ": "), std::string::npos) << run.out;
    for (const std::string& path : {db_, dir_.File("db/target")})
      for (const char* beside : {"-journal", "-wal", "-shm"})
        EXPECT_FALSE(std::filesystem::exists(path + beside)) << path + beside;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnwritableStationDb,
    ::testing::Values(
        Unwritable{"Garbage", [](const std::string& path) { std::ofstream(path) << std::string(4096, 'x'); }},
        // Root writes any file, so a read-only one would prove nothing where the tests run as root.
        Unwritable{"LockedByAnotherWriter", [](const std::string& path) { Made(path); }, true},
        Unwritable{"NewerSchema",
                   [](const std::string& path) {
                     std::string reason;
                     Made(path)->Exec("PRAGMA user_version = 99", reason);
                   }},
        // The path is never followed, and nothing but a plain file is opened.
        Unwritable{"LinkToAnEmptyFile",
                   [](const std::string& path) {
                     const std::string target = std::filesystem::path(path).parent_path() / "target";
                     std::ofstream{target};
                     std::filesystem::create_symlink(target, path);
                   },
                   false, nullptr, true},
        Unwritable{"Fifo", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }, false, nullptr,
                   true},
        Unwritable{"Device", [](const std::string&) {}, false, "/dev/null", true}),
    [](const auto& info) { return std::string(info.param.name); });

// A line database that takes the connection and never answers: the job's result
// is told as soon as its row is written, and what shipping came to follows it.
TEST_F(StationRecord, ALineDatabaseThatNeverAnswersNeverDelaysTheResult) {
  const vektest::SilentLineDatabase line;
  ASSERT_TRUE(line.listening());
  const CliRun run =
      Cli({"--station-db", db_, "--events", dir_.File("events.jsonl"), "--line-db", line.ConnectionString()}, images_);
  EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
  const std::vector<json> last = Events({"record", "result"});  // the record, the result, the record told again
  ASSERT_EQ(last.size(), 3u);
  EXPECT_EQ(last[0].value("type", ""), "record");
  EXPECT_FALSE(last[0].contains("shipped")) << last[0].dump();
  EXPECT_EQ(last[1].value("outcome", ""), "succeeded");
  EXPECT_EQ(last[2].value("shipped", true), false) << last[2].dump();
  // Shipping waited out the line's connect limit of 3 s, after the result.
  EXPECT_GE(last[2].value("t", 0.0) - last[1].value("t", 0.0), 2.5);
}

// The upgraded module never names its version: no success, and every view marks the job.
TEST_F(StationRecord, AJobWhoseModuleDidNotNameItsNewVersionAsksForAttention) {
  for (const char* command : {"ATI", "AT+KORVANATI"})
    module_->faults().Add({sim::SimState::kFirmware, 0, sim::FaultKind::kSilence, 0, -1, -1, 0, command, true});
  EXPECT_EQ(Job().exit_status, 1);
  const json result = Events({"result"}).at(0);
  EXPECT_EQ(result["outcome"], "failed");
  EXPECT_EQ(result["attention"], "version_unconfirmed");
  EXPECT_EQ(result["text"], "the images are written and the NV items restored, but the module did not say its new version");
  EXPECT_EQ(JobsJson().at(0)["attention"], "version_unconfirmed");
  EXPECT_NE(Report("jobs").first.find("failed (attention)"), std::string::npos);
}

// The station database's disk fills as the job stores its NV backup: the backup
// waits beside the job and its row says so; once there is room, the next job
// stores it as taken then, so it stays the module's first.
TEST_F(StationRecord, ABackupAFullDiskRefusedIsStoredByTheNextJobAndStaysTheFirst) {
  const std::string disk = dir_.File("db");
  std::filesystem::create_directories(disk);
  if (mount("vek-test", disk.c_str(), "tmpfs", 0, "size=4m,mode=0700") != 0)
    GTEST_SKIP() << "no tmpfs can be mounted here: " << std::strerror(errno);
  const std::shared_ptr<void> unmount(nullptr, [&](void*) { umount2(disk.c_str(), MNT_DETACH); });
  ASSERT_TRUE(Made(db_));
  // Room for the job's rows, none for a backup of a megabyte.
  std::ofstream(disk + "/filler") << std::string(std::filesystem::space(disk).available - 256 * 1024, 'x');
  const CliRun full = Job();
  ASSERT_EQ(full.exit_status, 0) << full.out << full.err;
  EXPECT_EQ(Occurrences(full.out, "NV backup kept in " + dir_.File("work/record-pending") + " until the database"), 1)
      << full.out;
  ASSERT_EQ(JobsJson().at(0).value("nv_backup", ""), "pending");
  EXPECT_NE(Report("module " + imei()).first.find("is not in the database yet"), std::string::npos);
  const std::string first = vektest::ReadWhole(dir_.File("work/backup.nvb"));
  std::filesystem::remove(disk + "/filler");
  ASSERT_EQ(Job().exit_status, 0);
  for (const json& row : JobsJson()) EXPECT_EQ(row.value("nv_backup", ""), "stored") << row.dump();
  ASSERT_EQ(Report("nv " + imei() + " --first --out " + dir_.File("first.nvb")).second, 0);
  EXPECT_TRUE(vektest::ReadWhole(dir_.File("first.nvb")) == first);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("work/record-pending")));
}

// Killed once its backup is whole: the backup is kept, the row reads "interrupted".
TEST_F(StationRecord, AJobKilledAfterItsBackupLeavesTheBackupAndReadsInterrupted) {
  std::atomic<bool> killed{false};
  std::thread killer;
  setup_.on_started = [&](pid_t pid) {
    killer = std::thread([&, pid] {
      for (int i = 0; i < 600 && !killed; ++i) {
        std::string reason;
        if (auto db = vek::StationDb::Open(db_, vek::StationDb::Mode::kRead, reason)) {
          vek::StationStatement backups(*db, "SELECT count(*) FROM nv_backups");
          if (backups.Step() && backups.Integer(0) > 0) {
            kill(pid, SIGKILL);
            killed = true;
          }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
  };
  Job();
  killer.join();
  ASSERT_TRUE(killed);
  const std::vector<json> rows = JobsJson();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["result"], "interrupted");
  ASSERT_EQ(Report("nv " + imei() + " --out " + dir_.File("kept.nvb")).second, 0);
  EXPECT_EQ(vektest::ReadWhole(dir_.File("kept.nvb")), vektest::ReadWhole(dir_.File("work/backup.nvb")));
}

}  // namespace
