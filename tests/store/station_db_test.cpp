// The station database's NV backups on a real SQLite file: stored once by
// content and linked to each module they were taken from, the module's first
// (the oldest taken) kept for ever, of the others the ten newest.
#include "store/station_db.h"

#include <gtest/gtest.h>

#include <thread>

#include "store/nv_vault.h"
#include "store/station_rows.h"
#include "test_support.h"

namespace {

vek::StationNvBackup Backup(const std::string& module, int n) {
  vek::StationNvBackup backup;
  backup.module = module;
  backup.job_id = "job-" + std::to_string(n);
  char taken[32];
  std::snprintf(taken, sizeof taken, "2026-12-08T10:%02d:00Z", n);
  backup.taken_utc = taken;
  backup.records = n;
  backup.bytes = {static_cast<uint8_t>(n), 1, 2, 3};
  backup.sha256 = vektest::Sha256Of(backup.bytes);
  return backup;
}

std::vector<std::string> Column(vek::StationDb& db, const char* sql) {
  vek::StationStatement query(db, sql);
  std::vector<std::string> texts;
  while (query.Step()) texts.push_back(query.Text(0));
  return texts;
}

// Twelve later backups reach the database before the module's oldest (kept
// beside its job a while): the oldest is its first and stays, with the ten newest
// of the others; equal bytes from another module are that module's backup too.
TEST(StationDbBackups, TheOldestTakenIsTheFirstAndEqualBytesBelongToEachModule) {
  vektest::TempDir dir;
  std::string reason;
  auto db = vek::StationDb::Open(dir.File("station.db"), vek::StationDb::Mode::kWrite, reason);
  ASSERT_TRUE(db) << reason;
  const std::string imei = "356938035643809";
  vek::StationNvBackup twin = Backup(imei, 12);
  twin.module = "A0000012345678";
  twin.job_id = "job-twin";
  for (int n = 1; n <= 12; ++n) ASSERT_TRUE(vek::WriteNvBackup(*db, Backup(imei, n), reason)) << reason;
  for (const vek::StationNvBackup& backup : {Backup(imei, 12) /* the same bytes again: once */, Backup(imei, 0), twin})
    ASSERT_TRUE(vek::WriteNvBackup(*db, backup, reason)) << reason;

  EXPECT_EQ(Column(*db, "SELECT sha256 FROM nv_backups WHERE first_of_module = 1"), std::vector<std::string>{Backup(imei, 0).sha256});
  EXPECT_EQ(Column(*db, "SELECT group_concat(records, ' ') FROM (SELECT records FROM nv_backup_modules l JOIN "
                        "nv_backups USING (sha256) WHERE l.module = '356938035643809' ORDER BY records)"),
            std::vector<std::string>{"0 3 4 5 6 7 8 9 10 11 12"});
  const std::vector<vek::StationNvBackup> of_twin = vek::JobNvBackups(*db, "job-twin");
  ASSERT_EQ(of_twin.size(), 1u);
  EXPECT_EQ(of_twin[0].module, twin.module);
  EXPECT_EQ(of_twin[0].bytes, twin.bytes);
  std::string trouble;
  const auto newest = vek::NvVault(dir.File("station.db"), "").Newest(twin.module, trouble);
  ASSERT_TRUE(newest) << trouble;
  EXPECT_EQ(newest->sha256, twin.sha256);
}

// A tray's jobs start together and each opens the station database for its row:
// when the file is new, every one of them must find it usable, none "locked".
TEST(StationDbOpen, JobsThatOpenANewDatabaseAtOnceAllWriteTheirRows) {
  vektest::TempDir dir;
  constexpr int kRounds = 50, kJobs = 6;
  for (int round = 0; round < kRounds; ++round) {
    const std::string path = dir.File("station-" + std::to_string(round) + ".db");
    std::vector<std::string> failures(kJobs);
    std::vector<std::thread> jobs;
    for (int job = 0; job < kJobs; ++job)
      jobs.emplace_back([&, job] {
        std::string reason;
        vek::StationJobRow row;
        row.id = "job-" + std::to_string(job);
        row.started_utc = "2026-12-09T08:00:00Z";
        row.station = row.program = row.vek_version = row.result = "x";
        auto db = vek::StationDb::Open(path, vek::StationDb::Mode::kWrite, reason);
        if (!db || !vek::WriteJobRow(*db, row, reason)) failures[job] = reason.empty() ? "?" : reason;
      });
    for (std::thread& job : jobs) job.join();
    for (int job = 0; job < kJobs; ++job) ASSERT_EQ(failures[job], "") << "round " << round << ", job " << job;
  }
}

}  // namespace
