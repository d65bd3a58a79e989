// The station database as a tray's jobs use it: eight writers, each a job's
// three writes (its row at the start, its NV backup, its row at the end), each
// with a connection of its own to one SQLite file, as eight vek-cli processes do,
// and each write begun by all eight at the same moment (the worst a tray does).
//
//   bench_station_db
//
// Prints, as Markdown, the time one job spends writing its record (median and
// worst), the record writes per second with eight writers, and the database's
// size per job without and with an NV backup; then what a row the database would
// not take costs: kept beside its job, and put in by the next job.
#include <unistd.h>

#include <barrier>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "store/pending_records.h"
#include "store/station_db.h"
#include "store/station_rows.h"

namespace {

namespace fs = std::filesystem;

constexpr int kWriters = 8;
constexpr int kJobsPerWriter = 10;
// A backup of the simulated module's NV items (the demo's backup.nvb is this size).
constexpr size_t kBackupBytes = 1038175;

vek::StationJobRow Row(int writer, int job) {
  vek::StationJobRow row;
  row.id = "bench-" + std::to_string(writer) + "-" + std::to_string(job);
  row.started_utc = "2026-12-08T10:00:00Z";
  row.station = "bench";
  row.program = "vek-cli";
  row.vek_version = VEK_VERSION;
  row.usb_path = "1-2." + std::to_string(writer);
  row.imei = "3569380356" + std::to_string(10000 + writer * 100 + job);
  row.result = "running";
  row.log = std::string(6000, 'l');  // a job's "vek.log" is about this long
  for (int i = 0; i < 6; ++i) row.files.push_back({"image" + std::to_string(i) + ".mbn", 1 << 20, std::string(64, 'a')});
  return row;
}

// The job's NV backup: random bytes of a real backup's size.
vek::StationNvBackup BackupOf(const vek::StationJobRow& row, std::mt19937& random) {
  vek::StationNvBackup backup;
  backup.module = row.imei;
  backup.job_id = row.id;
  backup.sha256 = row.id;
  backup.taken_utc = row.started_utc;
  backup.records = 500;
  backup.bytes.resize(kBackupBytes);
  for (auto& byte : backup.bytes) byte = static_cast<uint8_t>(random());
  return backup;
}

// One job's record, its three writes, each with a fresh connection and each
// begun when every writer of the tray begins the same one; seconds spent writing.
double OneJob(const std::string& path, int writer, int job, bool with_backup, std::mt19937& random,
              std::barrier<>& together) {
  double seconds = 0;
  std::string reason;
  vek::StationJobRow row = Row(writer, job);
  together.arrive_and_wait();
  auto start = bench::Clock::now();
  if (auto db = vek::StationDb::Open(path, vek::StationDb::Mode::kWrite, reason)) vek::WriteJobRow(*db, row, reason);
  seconds += bench::SecondsSince(start);
  if (with_backup) {
    const vek::StationNvBackup backup = BackupOf(row, random);
    together.arrive_and_wait();
    start = bench::Clock::now();
    if (auto db = vek::StationDb::Open(path, vek::StationDb::Mode::kWrite, reason)) vek::WriteNvBackup(*db, backup, reason);
    seconds += bench::SecondsSince(start);
  }
  row.result = "succeeded";
  row.ended_utc = "2026-12-08T10:00:12Z";
  together.arrive_and_wait();
  start = bench::Clock::now();
  if (auto db = vek::StationDb::Open(path, vek::StationDb::Mode::kWrite, reason)) vek::WriteJobRow(*db, row, reason);
  seconds += bench::SecondsSince(start);
  if (!reason.empty()) std::fprintf(stderr, "bench_station_db: %s\n", reason.c_str());
  return seconds;
}

struct Run {
  std::vector<double> job_seconds;
  double wall = 0;
  uintmax_t bytes = 0;
};

Run Tray(const std::string& path, bool with_backup) {
  Run run;
  std::vector<std::vector<double>> seconds(kWriters);
  const auto start = bench::Clock::now();
  std::barrier together(kWriters);
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w)
    writers.emplace_back([&, w] {
      std::mt19937 random(w);
      for (int j = 0; j < kJobsPerWriter; ++j)
        seconds[w].push_back(OneJob(path, w, j, with_backup, random, together));
    });
  for (auto& writer : writers) writer.join();
  run.wall = bench::SecondsSince(start);
  for (const auto& s : seconds) run.job_seconds.insert(run.job_seconds.end(), s.begin(), s.end());
  std::string reason;
  if (auto db = vek::StationDb::Open(path, vek::StationDb::Mode::kWrite, reason)) db->Exec("PRAGMA wal_checkpoint(TRUNCATE)", reason);
  run.bytes = fs::file_size(path);
  return run;
}

// A job's row (and its NV backup) kept beside the job and put in by the next
// job, `kTimes` times: the median of each, in seconds.
std::pair<double, double> KeptAside(const std::string& dir, bool with_backup) {
  constexpr int kTimes = 20;
  std::vector<double> keep, settle;
  std::string reason;
  std::mt19937 random(7);
  auto db = vek::StationDb::Open(dir + "/settle" + (with_backup ? "-backup" : "") + ".db",
                                 vek::StationDb::Mode::kWrite, reason);
  for (int i = 0; db && i < kTimes; ++i) {
    vek::StationJobRow row = Row(0, i);
    row.result = "succeeded";
    row.nv_backup = with_backup ? "pending" : "";
    const vek::StationNvBackup backup = with_backup ? BackupOf(row, random) : vek::StationNvBackup{};
    auto start = bench::Clock::now();
    if ((with_backup && !vek::KeepPendingBackup(dir + "/job", backup, reason)) ||
        !vek::KeepPendingRow(dir + "/job", row, reason))
      std::fprintf(stderr, "bench_station_db: %s\n", reason.c_str());
    keep.push_back(bench::SecondsSince(start));
    start = bench::Clock::now();
    vek::SettlePendingRows(*db, {dir + "/job"});
    settle.push_back(bench::SecondsSince(start));
  }
  return {bench::Median(keep), bench::Median(settle)};
}

}  // namespace

int main() {
  char pattern[] = "/tmp/vek-bench-db-XXXXXX";
  const std::string dir = mkdtemp(pattern);
  const Run plain = Tray(dir + "/plain.db", false);
  const Run backed = Tray(dir + "/backed.db", true);
  const auto [keep, settle] = KeptAside(dir, false);
  const auto [keep_backup, settle_backup] = KeptAside(dir, true);
  fs::remove_all(dir);
  const int jobs = kWriters * kJobsPerWriter;
  auto ms = [](double seconds) { return seconds * 1000.0; };
  std::printf("### Station database: eight writers at once\n\n");
  std::printf("%d writers, %d jobs each; a job writes its row at the start, its NV backup (%zu KiB, random bytes), its row at the end, "
              "each through a connection of its own, as eight vek-cli do; all eight begin each write at once. Per job: "
              "the time its three writes took.\n\n",
              kWriters, kJobsPerWriter, kBackupBytes / 1024);
  std::printf("| | per job: median | per job: worst | record writes/s | database per job |\n|---|---|---|---|---|\n");
  std::printf("| without NV backup | %.1f ms | %.1f ms | %.0f | %.1f KiB |\n", ms(bench::Median(plain.job_seconds)),
              ms(*std::max_element(plain.job_seconds.begin(), plain.job_seconds.end())), 2 * jobs / plain.wall,
              plain.bytes / 1024.0 / jobs);
  std::printf("| with NV backup | %.1f ms | %.1f ms | %.0f | %.1f KiB |\n\n", ms(bench::Median(backed.job_seconds)),
              ms(*std::max_element(backed.job_seconds.begin(), backed.job_seconds.end())), 3 * jobs / backed.wall,
              backed.bytes / 1024.0 / jobs);
  std::printf("A row the database would not take at a job's end: kept beside the job %.1f ms, put in by the next "
              "job %.1f ms; with its NV backup, %.1f ms and %.1f ms (medians of 20).\n\n",
              ms(keep), ms(settle), ms(keep_backup), ms(settle_backup));
  return 0;
}
