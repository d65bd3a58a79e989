// NV requests several at a time (--nv-window) against the simulated module: the
// backup file, the log and the restored items are those of one at a time.
#include <gtest/gtest.h>

#include "nv/nv_backup.h"
#include "nv/nv_window.h"
#include "nv_job_fixture.h"

namespace {

using nvtest::Bytes;
using nvtest::NvJob;
using nvtest::ReadFile;
using nvtest::Reports;

// What a backup leaves behind: the file and the lines a person reads.
struct Backup {
  int ended = -1;
  Bytes file;
  std::vector<std::string> logs, statuses;
  int settled = 0;
  uint64_t dropped = 0;
};

class NvWindow : public NvJob {
 protected:
  Backup Run(int32_t window, const sim::NvOptions& nv = {}, const sim::DiagLinkOptions& link = {},
             std::optional<sim::FaultRule> fault = std::nullopt) {
    StartModule(nv, link);
    if (fault) module_->faults().Add(*fault);
    Reports().Clear();
    job().nv_window = window;
    Backup backup;
    backup.ended = vek::BackupNv(job());
    job().nv_window = 1;
    backup.file = ReadFile("backup.nvb");
    std::lock_guard lock(Reports().mutex);
    for (const std::string& line : Reports().logs)
      if (!line.starts_with("NV window:") && !line.starts_with("earlier backup.nvb kept")) backup.logs.push_back(line);
    backup.statuses = Reports().statuses;
    for (const std::string& line : Reports().logs)
      if (line.starts_with("NV window: settled at ")) backup.settled = std::atoi(line.c_str() + 22);
    backup.dropped = module_->dropped_diag_requests();
    vek::CloseDiagPort();
    module_->Stop();
    std::filesystem::remove("backup.nvb");
    return backup;
  }
};

TEST(NvWindowChoice, TakesOneToSixteenOrAuto) {
  for (const char* good : {"1", "8", "16", "auto"}) EXPECT_TRUE(vek::NvWindowOf(good)) << good;
  for (const char* bad : {"0", "17", "", "-1", "2.5", "Auto", "08x", "100"}) EXPECT_FALSE(vek::NvWindowOf(bad)) << bad;
  EXPECT_TRUE(vek::NvWindowOf("auto")->automatic);
  EXPECT_EQ(vek::NvWindowOf("12")->size, 12);
}

TEST_F(NvWindow, BacksUpTheSameFileAndLogAsOneAtATimeWhateverTheWindow) {
  sim::NvOptions damaged;
  damaged.bad_crc_item = 100;  // one reply in the middle comes back damaged and is asked again
  for (const sim::NvOptions& nv : {sim::NvOptions{}, damaged}) {
    const Backup one = Run(1, nv);
    ASSERT_EQ(one.ended, vek::kNvCompleted);
    for (int32_t window : {4, 16, 0}) {
      const Backup many = Run(window, nv);
      EXPECT_EQ(many.ended, vek::kNvCompleted) << window;
      EXPECT_TRUE(many.file == one.file) << "window " << window << ": the file differs";
      EXPECT_EQ(many.logs, one.logs) << window;
    }
  }
}

// A task that holds four requests and serves each slower than any host sends them.
constexpr sim::DiagLinkOptions kDroppingTask{.latency_us = 2000, .service_us = 5000, .queue = 4};
TEST_F(NvWindow, ATaskThatDropsRequestsLosesNoItemAndAutoSettlesWithinItsQueue) {
  const Backup one = Run(1);
  ASSERT_EQ(one.ended, vek::kNvCompleted);
  const Backup eight = Run(8, {}, kDroppingTask);
  EXPECT_EQ(eight.ended, vek::kNvCompleted);
  EXPECT_GT(eight.dropped, 0u) << "the window never overflowed the queue: the case proves nothing";
  EXPECT_TRUE(eight.file == one.file);
  EXPECT_EQ(eight.logs, one.logs);
  const Backup automatic = Run(0, {}, kDroppingTask);
  EXPECT_EQ(automatic.ended, vek::kNvCompleted);
  EXPECT_TRUE(automatic.file == one.file);
  EXPECT_GE(automatic.settled, 1);
  EXPECT_LE(automatic.settled, 4);
}

TEST_F(NvWindow, ARestoreWritesEveryRecordOnceAndTheModuleHoldsItsItemsAgain) {
  StartModule({}, kDroppingTask);
  job().nv_window = 8;
  ASSERT_EQ(vek::BackupNv(job()), vek::kNvCompleted);
  const auto before = Store().Snapshot();
  Store().Reseed(99);
  Reports().Clear();
  const uint64_t dropped_in_backup = module_->dropped_diag_requests();
  ASSERT_EQ(vek::RestoreNv(job()), vek::kNvCompleted);
  job().nv_window = 1;
  EXPECT_GT(module_->dropped_diag_requests(), dropped_in_backup) << "no write was lost: the case proves nothing";
  const auto after = Store().Snapshot();
  for (uint16_t id = 0; id < vek::kNvItemCount; ++id)
    if (vek::NvItemTable[id].enabled && sim::SimNvStore::ReadStatus(id) == 0) {
      EXPECT_TRUE(after[id] == before[id]) << "item " << id;
    }
  EXPECT_EQ(Store().Writes().size(), ReadFile("backup.nvb").size() / 131);
  EXPECT_TRUE(Reports().Shown("restore backup.nvb successful!"));
  const Bytes backup = ReadFile("backup.nvb");
  EXPECT_EQ(Reports().progress.back(), (std::pair<uint32_t, int32_t>(backup.size(), backup.size())));
}

// An array's end (item 10 refuses its element 2) sent twice, or again before the
// answer to item 11's first element: a copy that names item 10 ends no other
// array, whatever the window (it once cost item 11 its place in the backup).
TEST_F(NvWindow, ARefusalThatComesAgainEndsNoOtherArray) {
  const Backup clean = Run(1);
  ASSERT_EQ(clean.ended, vek::kNvCompleted);
  sim::FaultRule twice{sim::SimState::kFirmware, 0x26, sim::FaultKind::kTwice, 40, 1, 10};
  twice.skip = 2;
  const sim::FaultRule stale{sim::SimState::kFirmware, 0x26, sim::FaultKind::kStale, 0, 1, 11};
  for (const sim::FaultRule& fault : {twice, stale})
    for (int32_t window : {1, 8}) {
      const Backup spoiled = Run(window, {}, {}, fault);
      EXPECT_EQ(spoiled.ended, vek::kNvCompleted) << window;
      EXPECT_TRUE(spoiled.file == clean.file) << "window " << window << ": the file differs";
    }
}

TEST_F(NvWindow, AModuleThatFallsSilentEndsTheBackupAsOneAtATimeDoes) {
  sim::NvOptions silent;
  silent.silent_from_item = 100;
  const Backup many = Run(8, silent);
  EXPECT_EQ(many.ended, vek::kNvEndedEarly);
  EXPECT_NE(std::find(many.logs.begin(), many.logs.end(), "Error: NV_READ_F timeout!\r\n"), many.logs.end());
  EXPECT_NE(std::find(many.statuses.begin(), many.statuses.end(), "1. save backup.nvb failed!"), many.statuses.end());
}

}  // namespace
