// The download worker: refusing a second module, filling the job from the
// launch options and the window, the option dump, the outcome texts, the
// clean-up at its end, and a stop in the middle of a job.
#include <gtest/gtest.h>

#include "sim/port_map_file.h"
#include "sim/pty_port.h"
#include "upgrade/download_worker.h"
#include "upgrade/worker_thread.h"
#include "upgrade_test_support.h"

namespace {

using sim::SimState;
using upgradetest::CountOf;
using upgradetest::InOrder;

constexpr uint8_t kSwitchToDownload = 0x3A;

class Worker : public upgradetest::UpgradeTest {
 protected:
  // The "time: %dmin%dsec" lines the job logged. How long a job takes depends
  // on the machine; the time is only read.
  std::vector<std::pair<unsigned, unsigned>> JobTimes() const {
    std::vector<std::pair<unsigned, unsigned>> times;
    for (const auto& line : window_.Logs()) {
      unsigned minutes = 0, seconds = 0;
      char end = 0;
      if (std::sscanf(line.c_str(), "time: %umin%usec%c", &minutes, &seconds, &end) == 2 && seconds < 60)
        times.emplace_back(minutes, seconds);
    }
    return times;
  }
  // The final text the logged job time implies.
  std::string ExpectedOk(const std::string& report) {
    const auto times = JobTimes();
    EXPECT_EQ(times.size(), 1u);
    if (times.empty()) return "(no job time logged)";
    return "Ok! " + std::to_string(times[0].first) + "\u2032" + std::to_string(times[0].second) + "\u2033, " + report;
  }
  void ExpectJobStateReset() {
    EXPECT_EQ(device().download_status, 0);
    EXPECT_EQ(device().connecting, 0);
    EXPECT_EQ(job().download_mode, 0);
    EXPECT_EQ(job().target_state, vek::TARGET_UNSPECIFIED);
    EXPECT_EQ(job().stage, vek::STAGE_IDLE);
    EXPECT_EQ(vek::DiagPort.load(), vek::kInvalidPort);
    EXPECT_TRUE(vek::ImageSetEmpty());
  }
};

TEST_F(Worker, TwoModulesAreRefusedBeforeAnythingIsReadOrLogged) {
  sim::PtyPort first, second;
  ASSERT_TRUE(first.Open() && second.Open());
  const std::string map = ports_.File("ports");
  ASSERT_TRUE(sim::WritePortMapFile(map, {{"Modem Diagnostics (COM7)", first.device_path()},
                                          {"Modem Diagnostics (COM9)", second.device_path()}}));
  vek::SetPortMapPath(map);
  job().backup_enable = 7;  // would become 1 if the options were read
  device().download_status = 1;

  EXPECT_EQ(vek::DownloadWorker(window_), 1);
  EXPECT_EQ(window_.Boxes(),
            std::vector<std::string>{"1|Error!!!|There are other devices, please remove them and try again!"});
  EXPECT_TRUE(window_.Logs().empty());
  EXPECT_TRUE(window_.Statuses().empty());
  EXPECT_EQ(job().backup_enable, 7);
  const auto all = window_.All();
  ASSERT_GE(all.size(), 2u);
  EXPECT_EQ(all[all.size() - 2].what, "controls on");
  EXPECT_EQ(all.back().what, "progress 0/1");  // result 1 resets the bar
  ExpectJobStateReset();
}

TEST_F(Worker, AnEmptyImageFolderRefusesADownload) {
  job().image_path.Set("/kept");
  window_.image_path_text = "";
  EXPECT_EQ(vek::DownloadWorker(window_), 0);
  EXPECT_EQ(window_.Boxes(), std::vector<std::string>{"1|Error|please input image folder!"});
  EXPECT_TRUE(window_.Logs().empty());
  EXPECT_EQ(job().image_path.Get(), "/kept");
  EXPECT_EQ(window_.All().back().what, "controls on");  // result 0 leaves the bar alone
}

TEST_F(Worker, DownloadModeIgnoresTheNvChoicesAndWritesTheOptionDump) {
  WriteConfig("[backup]\nenable=1\n[restore]\nenable=1\n[download]\nenable=1\n[EraseEFS]\nenable=1\n");
  StartModule(SimState::kProgrammer, QuickModule());
  const std::string folder = work_.File("images");
  ASSERT_TRUE(sim::WriteImageFolder(folder, vek::PLATFORM_6280, 1500, 1024));
  window_.image_path_text = folder;
  window_.restore_default_ticked = true;
  job().platform = vek::PLATFORM_6280;
  job().target_state = vek::TARGET_GOING;
  job().download_mode = 1;
  device().ids_valid = 1;
  device().product_m = 12;
  device().product_d = 34;
  device().connecting = 1;

  ASSERT_EQ(vek::DownloadWorker(window_), 1);
  EXPECT_EQ(job().backup_enable, 0);
  EXPECT_EQ(job().restore_enable, 0);
  EXPECT_EQ(job().restore_default, 0);
  EXPECT_EQ(job().erase_efs, 0);
  EXPECT_EQ(job().download_enable, 1);
  EXPECT_EQ(job().image_path.Get(), folder);

  const auto logs = window_.Logs();
  const std::vector<std::string> dump = {std::string(40, '-'),
                                         "IMGPATH: " + folder,
                                         "DLDEN: 1",
                                         "BCK: 0",
                                         "RSTOR: 0",
                                         "FCT: 0",
                                         "TGSTA: 2",
                                         "PLAT: 2",
                                         "DLDMD: 1",
                                         std::string(40, '='),
                                         "Ver:  ZX2180_SIM_V1.0",
                                         "Diag: COM" + std::to_string(DiagCom()),
                                         "AT: COM" + std::to_string(device().at_port.load()),
                                         "ID(M,D): 12,34",
                                         std::string(40, '-'),
                                         "start download..."};
  ASSERT_GT(logs.size(), dump.size());
  EXPECT_EQ(std::vector<std::string>(logs.begin(), logs.begin() + dump.size()), dump);

  const std::string report = "update version  ZX2180_SIM_V1.0 to version  ZX2180_SIM_V1.1";
  EXPECT_TRUE(InOrder(logs, {"normal reset...", report}));
  EXPECT_EQ(logs.back().rfind("time: ", 0), 0u);
  {
    std::lock_guard lock(module_->device().mutex);
    EXPECT_EQ(module_->device().efs_erasures, 0);
  }
  const auto all = window_.All();
  ASSERT_GE(all.size(), 3u);
  EXPECT_EQ(all[all.size() - 3].what, "status " + ExpectedOk(report));
  EXPECT_EQ(all[all.size() - 2].what, "controls on");
  EXPECT_EQ(all.back().what, "progress 0/1");
  ExpectJobStateReset();
}

TEST_F(Worker, JobsWithoutADownloadEndWithTheirOwnTexts) {
  WriteConfig("[backup]\nenable=1\n[restore]\nenable=0\n[download]\nenable=0\n");
  StartModule(SimState::kFirmware, QuickModule());
  ASSERT_EQ(vek::DownloadWorker(window_), 1);
  EXPECT_EQ(window_.Statuses().back(), "backup nvb success!");
  EXPECT_EQ(JobTimes().size(), 1u);
  // Without product ids the dump has no ID line.
  EXPECT_EQ(window_.Logs().at(9), std::string(40, '='));
  EXPECT_EQ(window_.Logs().at(13), std::string(40, '-'));
  EXPECT_EQ(CountOf(window_.Logs(), "FCT: 0"), 1);

  window_.Clear();
  WriteConfig("[backup]\nenable=0\n[restore]\nenable=1\n[download]\nenable=0\n");
  ASSERT_EQ(vek::DownloadWorker(window_), 1);
  EXPECT_EQ(window_.Statuses().back(), "restore nvb success!");
  // Back from the normal reset: its answer is never read, so the ports wait up
  // to a second for the host before they go.
  ASSERT_TRUE(vektest::Eventually(
      [&] {
        std::lock_guard lock(module_->device().mutex);
        return module_->device().boots >= 1;
      },
      10000));

  // Only "AT&F1": nothing else to report; the last version report is logged unchanged.
  window_.Clear();
  vek::JobResultText().Set("update version A to version B");
  WriteConfig("[backup]\nenable=0\n[restore]\nenable=0\n[download]\nenable=0\n");
  window_.restore_default_ticked = true;
  ASSERT_EQ(vek::DownloadWorker(window_), 1) << ::testing::PrintToString(window_.Logs());
  EXPECT_TRUE(window_.Has("log FCT: 1"));
  EXPECT_TRUE(InOrder(window_.Logs(), {"AT&F1: restore default setting success!", "update version A to version B"}));
  EXPECT_EQ(window_.Statuses().back(), "ok! (do nothing)");
  ExpectJobStateReset();
}

TEST(JobTime, WholeMinutesAndLeftOverSeconds) {
  EXPECT_EQ(vek::JobTimeOf(125000).minutes, 2u);
  EXPECT_EQ(vek::JobTimeOf(125000).seconds, 5u);
  EXPECT_EQ(vek::JobTimeOf(59900).minutes, 0u);
  EXPECT_EQ(vek::JobTimeOf(59900).seconds, 59u);
  EXPECT_EQ(vek::JobTimeOf(3600999).minutes, 60u);
  EXPECT_EQ(vek::JobTimeOf(3600999).seconds, 0u);
}

TEST(SuccessText, PrimeAndDoublePrimeFollowTheNumbers) {
  EXPECT_EQ(vek::SuccessText(2, 5, "update version a to version b"),
            "Ok! 2\xE2\x80\xB2" "5\xE2\x80\xB3, update version a to version b");
}

TEST_F(Worker, CloseJobReleasesThePortTheImagesAndTheLog) {
  StartModule(SimState::kFirmware, QuickModule());
  LoadImages(vek::PLATFORM_6280);
  ASSERT_TRUE(vek::OpenDiagPort(DiagCom()));
  ASSERT_TRUE(vek::OpenLogFile());
  job().stage = vek::STAGE_IMAGES;

  vek::CloseJob();
  EXPECT_EQ(job().stage, vek::STAGE_IDLE);
  EXPECT_EQ(vek::DiagPort.load(), vek::kInvalidPort);
  EXPECT_TRUE(vek::ImageSetEmpty());
  EXPECT_FALSE(vek::TheLogFile().IsOpen());
  job().write_log("after the job");  // dropped
  std::ifstream log(work_.File("vek.log"));
  const std::string content((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "");
}

// The cable is pulled: the removal handler stops the worker. It ends promptly,
// makes no further report and leaves the clean-up to the handler.
TEST_F(Worker, AStoppedJobEndsPromptlyAndReportsNothingMore) {
  WriteConfig("[backup]\nenable=0\n[restore]\nenable=0\n[download]\nenable=1\n");
  StartModule(SimState::kFirmware, QuickModule());
  module_->faults().Add({SimState::kFirmware, kSwitchToDownload, sim::FaultKind::kSilence});  // a long wait follows
  const std::string folder = work_.File("images");
  ASSERT_TRUE(sim::WriteImageFolder(folder, vek::PLATFORM_6280, 1500, 1024));
  window_.image_path_text = folder;
  job().platform = vek::PLATFORM_6280;

  vek::WorkerThread worker;
  window_.HoldAt("status waiting: 28");
  ASSERT_TRUE(worker.Start([this] { return vek::DownloadWorker(window_); }));
  ASSERT_TRUE(window_.WaitUntilHeld());
  const size_t seen = window_.Count();
  worker.RequestStop();
  window_.Release();
  // Without the stop it would go on waiting, saying so every try, then fail with a box.
  EXPECT_TRUE(vektest::Eventually([&] { return !worker.Running(); }, 10000));
  worker.Join();
  EXPECT_EQ(worker.Result(), 0);
  EXPECT_EQ(window_.Count(), seen);
  EXPECT_FALSE(window_.Has("controls on"));
  EXPECT_EQ(device().download_status, 1);  // the handler resets it
}

}  // namespace
