// A kept file that cannot be read may be the only copy of a row: never deleted
// nor taken for settled, only moved aside and named once.
#include "store/pending_records.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "test_support.h"

TEST(PendingRecords, AnUnreadableKeptFileIsMovedAsideAndNamedNeverDeleted) {
  vektest::TempDir dir;
  const std::string folder = dir.File("job"), bad = folder + "/" + vek::kPendingRecordsFolder + "/bad.db";
  std::string reason;
  vek::StationJobRow row{.id = "good", .started_utc = "2026-12-10T10:00:00Z", .station = "s", .program = "vek-cli",
                         .vek_version = VEK_VERSION, .result = "succeeded"};
  ASSERT_TRUE(vek::KeepPendingRow(folder, row, reason)) << reason;
  std::ofstream(bad) << std::string(4096, 'x');
  auto db = vek::StationDb::Open(dir.File("station.db"), vek::StationDb::Mode::kWrite, reason);
  row.id = "bad", row.nv_backup = "pending";
  ASSERT_TRUE(db && vek::WriteJobRow(*db, row, reason)) << reason;
  for (const int settled : {1, 0}) {  // named the first time only
    std::vector<std::string> named;
    EXPECT_EQ(vek::SettlePendingRows(*db, {folder}, &named), settled);
    EXPECT_EQ(named.size(), static_cast<size_t>(settled));
  }
  EXPECT_TRUE(vek::ReadJobRow(*db, "good"));
  EXPECT_EQ(vek::ReadJobRow(*db, "bad")->nv_backup, "pending");  // never relabelled "stored"
  EXPECT_EQ(std::filesystem::file_size(bad + ".unreadable"), 4096u);
}
