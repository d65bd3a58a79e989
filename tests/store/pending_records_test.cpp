// Rows kept beside their jobs: a readable one goes into the station's database;
// a file that cannot be read may be the only copy of a row, so it is never
// deleted nor taken for a settled one, only moved aside and named once.
#include "store/pending_records.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "test_support.h"

TEST(PendingRecords, AnUnreadableKeptFileIsMovedAsideAndNamedNeverDeleted) {
  vektest::TempDir dir;
  const std::string folder = dir.File("job"), kept = folder + "/" + vek::kPendingRecordsFolder;
  std::string reason;
  vek::StationJobRow row{.id = "good", .started_utc = "2026-12-10T10:00:00Z", .station = "s", .program = "vek-cli",
                         .vek_version = VEK_VERSION, .result = "succeeded"};
  ASSERT_TRUE(vek::KeepPendingRow(folder, row, reason)) << reason;
  std::ofstream(kept + "/bad.db") << std::string(4096, 'x');
  auto db = vek::StationDb::Open(dir.File("station.db"), vek::StationDb::Mode::kWrite, reason);
  row.id = "bad";
  row.nv_backup = "pending";
  ASSERT_TRUE(db && vek::WriteJobRow(*db, row, reason)) << reason;
  std::vector<std::string> named;
  EXPECT_EQ(vek::SettlePendingRows(*db, {folder}, &named), 1);
  EXPECT_TRUE(vek::ReadJobRow(*db, "good"));
  EXPECT_EQ(vek::ReadJobRow(*db, "bad")->nv_backup, "pending");  // never relabelled "stored"
  EXPECT_EQ(named, std::vector<std::string>{"kept record " + kept + "/bad.db cannot be read (file is not a database): "
                                            "moved aside as " + kept + "/bad.db.unreadable"});
  std::ifstream aside(kept + "/bad.db.unreadable");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(aside), {}), std::string(4096, 'x'));
  named.clear();
  EXPECT_EQ(vek::SettlePendingRows(*db, {folder}, &named), 0);
  EXPECT_TRUE(named.empty());
}
