// The upgrade procedure against the simulated module: which steps each choice
// of the operator runs, the texts of each failure, and the version report.
#include <gtest/gtest.h>

#include <filesystem>

#include "upgrade_test_support.h"

namespace {

using sim::SimState;
using upgradetest::CountOf;
using upgradetest::InOrder;

constexpr uint8_t kInterfaceType = 0x3D;
constexpr uint8_t kUnlockSpc = 0x41;
constexpr uint8_t kModeChange = 0x29;
constexpr uint8_t kNvRead = 0x26;
constexpr uint8_t kNvWrite = 0x27;
constexpr uint8_t kStreamHello = 0x01;

class Procedure : public upgradetest::UpgradeTest {
 protected:
  void Choose(int backup, int download, int restore, int restore_default) {
    job().backup_enable = backup;
    job().download_enable = download;
    job().restore_enable = restore;
    job().restore_default = restore_default;
  }
  int Count(uint8_t code) {
    const auto codes = RequestCodes();
    return static_cast<int>(std::count(codes.begin(), codes.end(), code));
  }
  bool BackupExists() const { return std::filesystem::exists(work_.File("backup.nvb")); }
  static constexpr const char* kReport = "update version  ZX2180_SIM_V1.0 to version  ZX2180_SIM_V1.1";
};

TEST_F(Procedure, BackupDownloadRestoreRunsEveryStepAndReportsTheVersions) {
  sim::SimModuleOptions options = QuickModule();
  // The programmer answers on its old port past the restore's first two probes after its reset.
  options.programmer.reset_leave_ms = 2500;
  StartModule(SimState::kFirmware, options);
  LoadImages(vek::PLATFORM_6280);
  Choose(1, 1, 1, 0);

  ASSERT_EQ(vek::RunUpgrade(job()), 1);
  const auto statuses = window_.Statuses();
  EXPECT_TRUE(InOrder(statuses, {"open port...", "unclock sp...", "unclock sp ok", "read version:", "waiting reset...",
                                 "open port...", "reset ok", "switch to offline mode", "unclock sp...",
                                 "unclock sp ok", "normal reset..."}))
      << ::testing::PrintToString(statuses);
  EXPECT_EQ(statuses.back(), "normal reset...");
  EXPECT_TRUE(InOrder(window_.Logs(), {"open port...", "set download interface type...", "interface type:=USB",
                                       "unclock sp...", "unclock sp ok", "download images finished", "reset ok",
                                       "normal reset..."}));
  // "switch to offline mode" is shown only; the version box comes before the normal reset.
  EXPECT_EQ(CountOf(window_.Logs(), "switch to offline mode"), 0);
  EXPECT_EQ(window_.Boxes(), std::vector<std::string>{std::string("1|OK|") + kReport});
  EXPECT_EQ(CountOf(statuses, "reset ok"), 1);  // after the restore's wait, not again before the box
  // backup 1 -> switch 3 -> images 4 -> download reset 3 -> restore 2 -> normal reset 3
  EXPECT_EQ(window_.Stages(), (std::vector<int32_t>{0, 1, 3, 4, 3, 2, 3}));
  EXPECT_EQ(job().stage, vek::STAGE_SWITCH);

  EXPECT_EQ(device().sw_version.Get(), " ZX2180_SIM_V1.1");
  EXPECT_EQ(device().sw_version.Get(), device().new_sw_version.Get());
  EXPECT_EQ(vek::JobResultText().Get(), kReport);
  EXPECT_TRUE(BackupExists());
  EXPECT_GT(Count(kNvWrite), 0);
  // The normal reset is the last request; it waits for no answer, so the job may
  // end before the module has read it.
  EXPECT_TRUE(vektest::Eventually([&] {
    const auto codes = RequestCodes(SimState::kFirmware);
    return !codes.empty() && codes.back() == kModeChange;
  }, 5000)) << ::testing::PrintToString(RequestCodes(SimState::kFirmware));
}

TEST_F(Procedure, DownloadOnlySaysResetOkBeforeTheVersionBox) {
  StartModule(SimState::kFirmware, QuickModule());
  LoadImages(vek::PLATFORM_6280);
  Choose(0, 1, 0, 0);

  ASSERT_EQ(vek::RunUpgrade(job()), 1);
  const auto all = window_.All();
  std::vector<std::string> tail;
  for (const auto& s : all)
    if (s.what.rfind("progress", 0) != 0) tail.push_back(s.what);
  tail.erase(tail.begin(), tail.end() - 5);
  EXPECT_EQ(tail, (std::vector<std::string>{"status reset ok", "log reset ok", std::string("box 1|OK|") + kReport,
                                            "status normal reset...", "log normal reset..."}));
  EXPECT_FALSE(window_.Has("status unclock sp..."));
  EXPECT_FALSE(BackupExists());
  EXPECT_EQ(Count(kNvRead), 0);
  EXPECT_EQ(device().sw_version.Get(), " ZX2180_SIM_V1.1");
}

// The version's replies lost on a busy link while ATI's first one came through:
// the module is asked again until it names the version it runs now.
TEST_F(Procedure, TheVersionAfterTheDownloadIsTheOneTheModuleNamed) {
  StartModule(SimState::kFirmware, QuickModule());
  sim::FaultRule lost{SimState::kFirmware, 0, sim::FaultKind::kSilence, 0, 1};
  lost.after_download = true;
  lost.at_command = "AT+KORVANATI";
  module_->faults().Add(lost);
  lost.at_command = "ATI";
  lost.skip = 1;
  module_->faults().Add(lost);
  LoadImages(vek::PLATFORM_6280);
  Choose(0, 1, 0, 0);
  ASSERT_EQ(vek::RunUpgrade(job()), 1);
  EXPECT_EQ(vek::JobResultText().Get(), kReport);
  EXPECT_EQ(vek::JobFactsSnapshot().attention, vek::JobAttention::kNone);
}

TEST_F(Procedure, BackupOnlyThenRestoreOnly) {
  StartModule(SimState::kFirmware, QuickModule());
  Choose(1, 0, 0, 0);
  ASSERT_EQ(vek::RunUpgrade(job()), 1);
  EXPECT_TRUE(BackupExists());
  EXPECT_TRUE(InOrder(window_.Statuses(), {"open port...", "unclock sp...", "unclock sp ok"}));
  EXPECT_FALSE(window_.Has("status normal reset..."));
  EXPECT_TRUE(window_.Boxes().empty());
  EXPECT_EQ(Count(kStreamHello), 0);
  EXPECT_EQ(Count(kNvWrite), 0);

  window_.Clear();
  module_->ClearRequests();
  vek::CloseDiagPort();
  Choose(0, 0, 1, 0);
  ASSERT_EQ(vek::RunUpgrade(job()), 1);
  const auto statuses = window_.Statuses();
  EXPECT_TRUE(InOrder(statuses, {"open port...", "open port...", "switch to offline mode", "unclock sp...",
                                 "unclock sp ok", "normal reset..."}));
  EXPECT_EQ(CountOf(statuses, "reset ok"), 0);
  EXPECT_TRUE(window_.Boxes().empty());
  EXPECT_GT(Count(kNvWrite), 0);
  EXPECT_EQ(window_.StageAt("status normal reset..."), vek::STAGE_SWITCH);
}

TEST_F(Procedure, RestoreDefaultOnlySendsAtF1WithoutTouchingTheDiagnosticPort) {
  StartModule(SimState::kFirmware, QuickModule());
  Choose(0, 0, 0, 1);
  ASSERT_EQ(vek::RunUpgrade(job()), 1);
  EXPECT_EQ(window_.Statuses(),
            (std::vector<std::string>{"restore default...", "AT&F1: restore default setting success!"}));
  EXPECT_EQ(window_.Logs(), std::vector<std::string>{"AT&F1: restore default setting success!"});
  EXPECT_TRUE(module_->Requests().empty());
}

TEST_F(Procedure, RestoreDefaultOnlyFailsWhenAtF1Fails) {
  sim::SimModuleOptions options = QuickModule();
  options.at.restore_defaults_reply = "ERROR";
  StartModule(SimState::kFirmware, options);
  Choose(0, 0, 0, 1);
  EXPECT_EQ(vek::RunUpgrade(job()), 0);
  EXPECT_EQ(window_.Statuses().back(), "AT&F1: command not support, restore failed!");
  EXPECT_EQ(window_.Logs().back(), "AT&F1: command not support, restore failed!");
  EXPECT_TRUE(module_->Requests().empty());
}

TEST_F(Procedure, DownloadWithRestoreDefaultSendsAtF1BeforeTheReportWithoutResetOk) {
  StartModule(SimState::kFirmware, QuickModule());
  LoadImages(vek::PLATFORM_6280);
  Choose(0, 1, 0, 1);
  ASSERT_EQ(vek::RunUpgrade(job()), 1);
  const auto statuses = window_.Statuses();
  EXPECT_TRUE(InOrder(statuses, {"waiting reset...", "AT&F1: restore default setting success!", "normal reset..."}));
  EXPECT_EQ(CountOf(statuses, "reset ok"), 0);
  EXPECT_EQ(window_.Boxes(), std::vector<std::string>{std::string("1|OK|") + kReport});
  EXPECT_EQ(vek::JobResultText().Get(), kReport);
}

TEST_F(Procedure, AWrongServiceCodeEndsTheBackup) {
  sim::SimModuleOptions options = QuickModule();
  options.firmware.service_code = "123456";
  StartModule(SimState::kFirmware, options);
  LoadImages(vek::PLATFORM_6280);
  Choose(1, 1, 1, 0);
  EXPECT_EQ(vek::RunUpgrade(job()), 0);
  EXPECT_EQ(window_.Statuses().back(), "unlock sp failed!");
  EXPECT_EQ(window_.Logs().back(), "unlock sp failed!");
  EXPECT_FALSE(BackupExists());
  EXPECT_EQ(Count(kStreamHello), 0);
  EXPECT_EQ(job().stage, vek::STAGE_IDLE);
}

TEST_F(Procedure, BackupOfAModuleInDownloadModeStopsAtOnce) {
  StartModule(SimState::kBootLoader, QuickModule());
  LoadImages(vek::PLATFORM_6280);
  Choose(1, 1, 0, 0);
  EXPECT_EQ(vek::RunUpgrade(job()), 0);
  EXPECT_EQ(job().target_state, vek::TARGET_DOWNLOAD);
  EXPECT_EQ(window_.Statuses().back(), "backup nvb failed, target is in download mode!");
  EXPECT_EQ(window_.Logs().back(), "backup nvb failed, target is in download mode!");
  EXPECT_TRUE(window_.Boxes().empty());
  std::lock_guard lock(module_->device().mutex);
  EXPECT_TRUE(module_->device().ram.empty());
}

TEST_F(Procedure, AFailedDownloadIsShownInABoxAndLogged) {
  StartModule(SimState::kProgrammer, QuickModule());
  module_->faults().Add({SimState::kProgrammer, kStreamHello, sim::FaultKind::kRefuse, 0x0E});
  LoadImages(vek::PLATFORM_6280);
  Choose(0, 1, 0, 0);
  EXPECT_EQ(vek::RunUpgrade(job()), 0);
  const auto all = window_.All();
  ASSERT_GE(all.size(), 3u);
  EXPECT_EQ(all[all.size() - 3].what, "status download failed!");
  EXPECT_EQ(all[all.size() - 2].what, "box 1|Error|download failed!");
  EXPECT_EQ(all[all.size() - 1].what, "log download failed!");
  std::string seen;  // the whole job, should the hello's refusal not be what ended it
  for (const auto& event : all) seen += event.what + "\n";
  EXPECT_TRUE(window_.Has("status hello failed, maybe Nand Flash type mis-match!")) << seen;
  EXPECT_TRUE(vek::JobResultText().Empty());
}

TEST_F(Procedure, RestoreRefusesAModuleThatIsNotInItsFirmware) {
  StartModule(SimState::kBootLoader, QuickModule());
  Choose(0, 0, 1, 0);
  EXPECT_EQ(vek::RunUpgrade(job()), 0);
  EXPECT_EQ(window_.Statuses().back(), "unspecified state for restore qcn!");
  EXPECT_EQ(window_.Logs().back(), "unspecified state for restore qcn!");
  EXPECT_EQ(window_.Boxes(), std::vector<std::string>{"1|Error|unspecified state for restore qcn!"});
  EXPECT_FALSE(window_.Has("status switch to offline mode"));
}

TEST_F(Procedure, AFailedInterfaceTypeUnlocksAndGoesOn) {
  StartModule(SimState::kFirmware, QuickModule());
  module_->faults().Add({SimState::kFirmware, kInterfaceType, sim::FaultKind::kRefuse, 0x13});
  Choose(0, 0, 0, 0);
  EXPECT_EQ(vek::RunUpgrade(job()), 1);
  EXPECT_EQ(window_.Logs(),
            (std::vector<std::string>{"open port...", "AT+CPWROND=0, return OK!", "set download interface type...",
                                      "setting interface type failed!"}));
  std::vector<uint8_t> after_probes;
  for (uint8_t code : RequestCodes())
    if (code != 0x06) after_probes.push_back(code);
  EXPECT_EQ(after_probes, (std::vector<uint8_t>{kInterfaceType, kUnlockSpc}));
}

// A backup that was chosen but skipped (the module never answered) leaves
// nothing of this module to restore: an older backup.nvb is not written into it.
TEST_F(Procedure, AStaleBackupIsNotRestoredWhenThisJobMadeNone) {
  StartModule(SimState::kFirmware, QuickModule());
  Choose(1, 0, 0, 0);
  ASSERT_EQ(vek::RunUpgrade(job()), 1);  // an earlier job's backup
  ASSERT_TRUE(BackupExists());
  window_.Clear();
  module_->ClearRequests();
  vek::CloseDiagPort();
  module_->faults().Add({SimState::kFirmware, 0x06, sim::FaultKind::kSilence, 0, 30});  // 30 probes unanswered

  Choose(1, 0, 1, 0);
  EXPECT_EQ(vek::RunUpgrade(job()), 1);
  EXPECT_EQ(job().target_state, vek::TARGET_UNSPECIFIED);
  EXPECT_EQ(Count(kNvWrite), 0);
  EXPECT_EQ(Count(kNvRead), 0);
  EXPECT_TRUE(window_.Has("status no backup made, restore skipped"));
  EXPECT_TRUE(window_.Has("log no backup made, restore skipped"));
  EXPECT_FALSE(window_.Has("status unclock sp..."));
}

// The one slow case (30 pauses): the upgraded module never answers on its AT ports.
TEST_F(Procedure, NoAnswerAfterTheDownloadSkipsAtF1TheReportAndTheReset) {
  sim::SimModuleOptions options = QuickModule();
  options.at.silent = true;
  StartModule(SimState::kProgrammer, options);
  LoadImages(vek::PLATFORM_6280);
  Choose(0, 1, 0, 1);
  EXPECT_EQ(vek::RunUpgrade(job()), 0);
  const std::string known = "the images are written, but the module did not say its new version";
  EXPECT_EQ(window_.Statuses().back(), known);
  EXPECT_TRUE(InOrder(window_.Logs(), {"can't get new version info!", known}));
  EXPECT_EQ(vek::JobFactsSnapshot().attention, vek::JobAttention::kVersionUnconfirmed);
  EXPECT_TRUE(window_.Boxes().empty());
  EXPECT_EQ(device().sw_version.Get(), " ZX2180_SIM_V1.0");
  EXPECT_TRUE(vek::JobResultText().Empty());
}

}  // namespace
