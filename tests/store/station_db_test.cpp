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
  backup.sha256 = module + "-" + std::to_string(n);  // the database takes the digest as given
  backup.job_id = "job-" + std::to_string(n);
  char taken[32];
  std::snprintf(taken, sizeof taken, "2026-12-08T10:%02d:00Z", n);
  backup.taken_utc = taken;
  backup.records = n;
  backup.bytes = {static_cast<uint8_t>(n), 1, 2, 3};
  return backup;
}

TEST(StationDbBackups, TheFirstOfAModuleOutlivesTwelveLaterOnesAndTheTenNewestStay) {
  vektest::TempDir dir;
  std::string reason;
  auto db = vek::StationDb::Open(dir.File("station.db"), vek::StationDb::Mode::kWrite, reason);
  ASSERT_TRUE(db) << reason;
  for (int n = 0; n <= 12; ++n) ASSERT_TRUE(vek::WriteNvBackup(*db, Backup("356938035643809", n), reason)) << reason;
  ASSERT_TRUE(vek::WriteNvBackup(*db, Backup("356938035643809", 12), reason));  // the same bytes again: once
  ASSERT_TRUE(vek::WriteNvBackup(*db, Backup("A0000012345678", 0), reason));

  auto records_of = [&](int first) {
    vek::StationStatement kept(*db, "SELECT records FROM nv_backups WHERE module = ?1 AND first_of_module = ?2 "
                                    "ORDER BY records");
    kept.Bind(1, std::string("356938035643809")).Bind(2, static_cast<int64_t>(first));
    std::vector<int64_t> records;
    while (kept.Step()) records.push_back(kept.Integer(0));
    return records;
  };
  EXPECT_EQ(records_of(1), (std::vector<int64_t>{0}));
  EXPECT_EQ(records_of(0), (std::vector<int64_t>{3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  vek::StationStatement other(*db, "SELECT count(*) FROM nv_backups WHERE module = 'A0000012345678'");
  ASSERT_TRUE(other.Step());
  EXPECT_EQ(other.Integer(0), 1);
}

std::vector<std::string> Column(vek::StationDb& db, const char* sql) {
  vek::StationStatement query(db, sql);
  std::vector<std::string> texts;
  while (query.Step()) texts.push_back(query.Text(0));
  return texts;
}

// Equal bytes from a second module are its backup too, and a backup stored after
// a later one (kept beside its job a while) is still its module's first.
TEST(StationDbBackups, EqualBytesBelongToEachModuleAndTheFirstIsTheOldestTaken) {
  vektest::TempDir dir;
  std::string reason;
  auto db = vek::StationDb::Open(dir.File("station.db"), vek::StationDb::Mode::kWrite, reason);
  ASSERT_TRUE(db) << reason;
  vek::StationNvBackup twin = Backup("B", 9);
  twin.module = "C";
  twin.job_id = "job-c";
  for (const vek::StationNvBackup& backup : {Backup("B", 9), Backup("B", 1), twin})
    ASSERT_TRUE(vek::WriteNvBackup(*db, backup, reason)) << reason;

  EXPECT_EQ(Column(*db, "SELECT module || ' ' || sha256 || ' ' || job_id FROM nv_backup_modules ORDER BY 1"),
            (std::vector<std::string>{"B B-1 job-1", "B B-9 job-9", "C B-9 job-c"}));
  EXPECT_EQ(Column(*db, "SELECT sha256 FROM nv_backups WHERE first_of_module = 1"), std::vector<std::string>{"B-1"});
  const std::vector<vek::StationNvBackup> of_c = vek::JobNvBackups(*db, "job-c");
  ASSERT_EQ(of_c.size(), 1u);
  EXPECT_EQ(of_c[0].module, "C");
  EXPECT_EQ(of_c[0].bytes, twin.bytes);
  std::string trouble;
  const auto newest = vek::NvVault(dir.File("station.db"), "").Newest("C", trouble);
  ASSERT_TRUE(newest) << trouble;
  EXPECT_EQ(newest->sha256, "B-9");
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
