#include "nv/nv_backup.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <thread>

#include "nv/nv_history.h"
#include "nv_job_fixture.h"
#include "records/stop_wait.h"

namespace {

using nvtest::Bytes;
using nvtest::ExpectedBackup;
using nvtest::NvJob;
using nvtest::ReadFile;
using nvtest::Reports;
using nvtest::WriteFile;
namespace fs = std::filesystem;

const Bytes kOldBackup(131 * 3, 0x26);

TEST_F(NvJob, AFullBackupSavesEveryReadableItemInOrder) {
  WriteFile("backup.nvb", kOldBackup);
  StartModule();
  ASSERT_EQ(vek::BackupNv(job()), 2);
  EXPECT_EQ(ReadFile("backup.nvb"), ExpectedBackup(Store()));
  EXPECT_FALSE(fs::exists("backup.nvb.part"));
  // The backup it replaced is kept, and the log says where.
  const auto kept = vek::KeptCopies(".", "backup.nvb");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(ReadFile("nv-history/" + kept[0]), kOldBackup);
  EXPECT_TRUE(Reports().Logged("earlier backup.nvb kept as nv-history/" + kept[0]));

  int reads = 0;
  for (const auto& request : module_->Requests()) reads += request.packet[0] == 0x26;
  EXPECT_EQ(reads, 8062);
  // An array of 110 elements is asked for indices 0 … 110; the refused last index ignores the item.
  const auto item57 = RequestsFor(0x26, 57);
  ASSERT_EQ(item57.size(), 111u);
  for (int i = 0; i <= 110; ++i) EXPECT_EQ(item57[i][3], i);
  EXPECT_TRUE(Reports().Logged("save NV:57 (ignored)"));
  EXPECT_TRUE(RequestsFor(0x26, 22).empty());
  EXPECT_TRUE(RequestsFor(0x26, 23).empty());
  ASSERT_EQ(RequestsFor(0x26, 0).size(), 1u);
  Bytes plain_zero_read(133, 0);
  plain_zero_read[0] = 0x26;
  EXPECT_EQ(RequestsFor(0x26, 0)[0], plain_zero_read);

  // Item 350 answers with status 05 00: counted as done, saved nowhere (see ExpectedBackup).
  ASSERT_EQ(sim::SimNvStore::ReadStatus(350), 5);
  const auto& progress = Reports().progress;
  EXPECT_EQ(progress.front(), (std::pair<uint32_t, int32_t>{0, 100}));
  EXPECT_NE(std::find(progress.begin(), progress.end(), std::pair<uint32_t, int32_t>{351, 7158}), progress.end());
  EXPECT_FALSE(Reports().Logged("save NV:350 (ignored)"));
  EXPECT_TRUE(Reports().Shown("backup finished!"));
  EXPECT_TRUE(Reports().Logged("backup finished!"));
}

TEST_F(NvJob, BackupThenRestoreGivesAFlashedModuleItsNvBack) {
  StartModule();
  ASSERT_EQ(vek::BackupNv(job()), 2);
  const auto before = Store().Snapshot();
  Store().Reseed(99);  // the download left other values behind
  const auto flashed = Store().Snapshot();

  Reports().Clear();
  ASSERT_EQ(vek::RestoreNv(job()), 2);
  // Every item the backup saved is back as it was; every other one is as the download left it.
  const auto after = Store().Snapshot();
  int restored = 0;
  for (uint16_t id = 0; id < vek::kNvItemCount; ++id) {
    const bool saved = vek::NvItemTable[id].enabled && sim::SimNvStore::ReadStatus(id) == 0;
    restored += saved;
    EXPECT_TRUE(after[id] == (saved ? before[id] : flashed[id])) << "item " << id;
    if (saved && id != 550 && id != 1943) {
      EXPECT_FALSE(flashed[id] == before[id]) << "item " << id;
    }
  }
  EXPECT_GT(restored, 6800);
  const Bytes backup = ReadFile("backup.nvb");
  EXPECT_EQ(Store().Writes().size(), backup.size() / 131);
  EXPECT_TRUE(Reports().Shown("restore backup.nvb successful!"));
  EXPECT_TRUE(Reports().Shown("restore finished! IMEI : 394103254769810\r\n"));
  EXPECT_EQ(ReadFile("394103254769810.nvb"), backup);
  EXPECT_EQ(Reports().LogCount("restore NV:"), 0);
  EXPECT_EQ(Reports().progress.back(), (std::pair<uint32_t, int32_t>(backup.size(), backup.size())));
}

class NvBackupTimeOut : public NvJob, public ::testing::WithParamInterface<std::pair<int, std::string>> {};

TEST_P(NvBackupTimeOut, LeavesNoPartialFileAndKeepsThePreviousBackup) {
  WriteFile("backup.nvb", kOldBackup);
  sim::NvOptions nv;
  nv.silent_from_item = GetParam().first;
  StartModule(nv);
  EXPECT_EQ(vek::BackupNv(job()), 1);
  EXPECT_TRUE(Reports().Logged("Error: NV_READ_F timeout!\r\n"));
  EXPECT_TRUE(Reports().Shown(GetParam().second));
  EXPECT_EQ(ReadFile("backup.nvb"), kOldBackup);
  EXPECT_FALSE(fs::exists("backup.nvb.part"));
  EXPECT_FALSE(fs::exists("nv-history")) << "a backup that did not end moves nothing";
}

INSTANTIATE_TEST_SUITE_P(PlainAndArrayItem, NvBackupTimeOut,
                         ::testing::Values(std::make_pair(100, std::string("1. save backup.nvb failed!")),
                                           std::make_pair(57, std::string("2. save backup.nvb failed!"))));

TEST_F(NvJob, AStoppedBackupKeepsThePreviousFile) {
  WriteFile("backup.nvb", kOldBackup);
  StartModule();
  std::atomic<int> result{-1};
  std::jthread worker([&](std::stop_token stop) {
    vek::StopScope scope(stop);
    result = vek::BackupNv(job());
  });
  ASSERT_TRUE(vektest::Eventually([] { return Reports().progress_calls.load() > 300; }, 10000));
  worker.request_stop();
  worker.join();
  EXPECT_EQ(result.load(), 1);
  EXPECT_EQ(ReadFile("backup.nvb"), kOldBackup);
  EXPECT_FALSE(fs::exists("backup.nvb.part"));
  EXPECT_FALSE(fs::exists("nv-history"));
  EXPECT_FALSE(Reports().Logged("Error: NV_READ_F timeout!\r\n"));
}

TEST_F(NvJob, AKilledBackupProcessKeepsThePreviousFile) {
  WriteFile("backup.nvb", kOldBackup);
  // The child is forked before the module's thread starts: in a child of a
  // process with other threads only async-signal-safe calls are allowed. It waits
  // for the diagnostic port's number, then opens the port and backs up.
  int go[2];
  ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(go[1]);
    uint32_t diag = 0;
    if (read(go[0], &diag, sizeof diag) != static_cast<ssize_t>(sizeof diag)) _exit(3);
    vek::SetPortMapPath(ports_.File("ports"));
    if (!vek::OpenDiagPort(diag)) _exit(4);
    _exit(vek::BackupNv(job()));
  }
  close(go[0]);
  if (child < 0) close(go[1]);
  ASSERT_GT(child, 0);
  StartModule();
  const bool started = !HasFatalFailure();
  if (started) {
    const uint32_t diag = module_->ComNumber(sim::SimPortRole::kDiagnostics);
    [[maybe_unused]] const ssize_t n = write(go[1], &diag, sizeof diag);
  }
  close(go[1]);  // without a number the child gives up
  // Kill it mid-way, as a power cut would.
  const bool midway = started && vektest::Eventually(
                                     [] {
                                       std::error_code error;
                                       return fs::file_size("backup.nvb.part", error) > 50 * 131 && !error;
                                     },
                                     10000);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(midway);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(ReadFile("backup.nvb"), kOldBackup);
}

TEST_F(NvJob, AReplyWithAWrongCrcIsReadAgain) {
  sim::NvOptions nv;
  nv.bad_crc_item = 700;
  nv.bad_crc_times = 1;
  StartModule(nv);
  ASSERT_EQ(vek::BackupNv(job()), 2);
  EXPECT_EQ(RequestsFor(0x26, 700).size(), 2u);
  EXPECT_EQ(ReadFile("backup.nvb"), ExpectedBackup(Store()));
  EXPECT_FALSE(Reports().Logged("save NV:700 (ignored)"));
}

TEST_F(NvJob, AReplyThatNeverComesBackIntactIsNeverSaved) {
  sim::NvOptions nv;
  nv.bad_crc_item = 700;
  nv.bad_crc_times = 100;
  StartModule(nv);
  ASSERT_EQ(vek::BackupNv(job()), 2);
  EXPECT_EQ(RequestsFor(0x26, 700).size(), 3u);
  Bytes expected = ExpectedBackup(Store());
  for (size_t at = 0; at < expected.size(); at += 131) {
    if (expected[at + 1] == (700 & 0xFF) && expected[at + 2] == (700 >> 8)) {
      expected.erase(expected.begin() + static_cast<long>(at), expected.begin() + static_cast<long>(at + 131));
      break;
    }
  }
  EXPECT_EQ(ReadFile("backup.nvb"), expected);
  EXPECT_TRUE(Reports().Shown("backup NVB:NV 700 backup failed \r\n"));
  EXPECT_TRUE(Reports().Logged("save NV:700 (ignored)"));
}

TEST_F(NvJob, ABackupWhosePredecessorCannotBeKeptLeavesItInPlace) {
  WriteFile("backup.nvb", kOldBackup);
  WriteFile("nv-history", Bytes{1});  // a file where the folder belongs
  StartModule();
  EXPECT_EQ(vek::BackupNv(job()), 0);
  EXPECT_EQ(ReadFile("backup.nvb"), kOldBackup);
  EXPECT_FALSE(fs::exists("backup.nvb.part"));
  EXPECT_TRUE(Reports().Shown("can't write backup.nvb!"));
  EXPECT_TRUE(Reports().Logged("backup.nvb not replaced, can't open nv-history/: Not a directory"));
}

TEST_F(NvJob, ABackupThatCannotBeCreatedSaysSo) {
  fs::create_directory("backup.nvb.part");
  EXPECT_EQ(vek::BackupNv(job()), 0);
  EXPECT_TRUE(Reports().Shown("can't open backup.nvb!"));
  EXPECT_TRUE(Reports().Logged("can't open backup.nvb!"));
  ASSERT_EQ(Reports().messages.size(), 1u);
  EXPECT_EQ(Reports().messages[0], (std::pair<std::string, std::string>("can't open backup.nvb!", "Error")));
}

}  // namespace
