// The flash download sequence against the simulated module: where it enters,
// the texts it shows and logs, the stages, the operator's answer to a
// partition mismatch, and how it waits for the programmer.
#include <gtest/gtest.h>

#include "upgrade/download_flash.h"
#include "upgrade_test_support.h"

namespace {

using sim::SimState;
using upgradetest::CountOf;
using upgradetest::InOrder;
using upgradetest::Without;

constexpr uint8_t kSwitchToDownload = 0x3A;
constexpr uint8_t kDmssNop = 0x06;  // also the probe's request
constexpr uint8_t kStreamHello = 0x01;
constexpr uint8_t kStreamReset = 0x0B;
constexpr uint8_t kStreamPartition = 0x19;
constexpr uint8_t kStreamOpen = 0x1B;

class FlashSequence : public upgradetest::UpgradeTest {
 protected:
  std::string OpenText() const { return "open COM" + std::to_string(DiagCom()) + "..."; }
};

TEST_F(FlashSequence, FromFirmwareShowsAndLogsEveryStepInOrder) {
  StartModule(SimState::kFirmware, QuickModule());
  LoadImages(vek::PLATFORM_6280);
  const std::string first_path = module_->DevicePath(sim::SimPortRole::kDiagnostics);

  ASSERT_EQ(vek::DownloadFlash(job()), 1);

  // How many "waiting: %d" texts the programmer's start costs depends on timing.
  const std::vector<std::string> statuses = Without(window_.Statuses(), "waiting: ");
  const std::vector<std::string> expected_statuses = {
      OpenText(), "read version:", "switch to download...", OpenText(), "nop", "preq", "write hex", "go...",
      "open port...", "hello...", "Flash_type:SIM NAND 128MiB", "trust", "partition", "qcsblhdcfg downloading...",
      "qcsbl downloading...", "oemsbl downloading...", "amss downloading...", "download images finished",
      "waiting reset..."};
  EXPECT_EQ(statuses, expected_statuses);
  const std::vector<std::string> expected_logs = {
      OpenText(), "read version:", "Version:SIM_FW_1.0.0", "switch to download...", OpenText(),
      "switch to download mode success", "nop", "preq", "write hex", "go...", "open port...",
      "switch to going mode success", "hello...", "Flash_type:SIM NAND 128MiB", "trust", "partition",
      "qcsblhdcfg downloading...", "qcsbl downloading...", "oemsbl downloading...", "amss downloading...",
      "download images finished", "waiting reset..."};
  // So does whether the first open after "go..." finds the boot loader's port
  // already gone: the host then says so, once.
  std::vector<std::string> logs = window_.Logs();
  const std::string gone =
      "cannot open " + first_path + ": the port is gone (the module was unplugged or is re-enumerating)";
  if (CountOf(logs, gone) > 0) {
    EXPECT_EQ(CountOf(logs, gone), 1);
    EXPECT_TRUE(InOrder(logs, {"open port...", gone, "switch to going mode success"}));
    std::erase(logs, gone);
  }
  EXPECT_EQ(logs, expected_logs);
  EXPECT_TRUE(window_.Boxes().empty());

  // Stage 3 from the switch request until the images start, 4 while they are written, 3 again at the end.
  EXPECT_EQ(window_.StageAt("status read version:"), vek::STAGE_IDLE);
  EXPECT_EQ(window_.StageAt("status switch to download..."), vek::STAGE_SWITCH);
  EXPECT_EQ(window_.StageAt("status hello..."), vek::STAGE_SWITCH);
  EXPECT_EQ(window_.StageAt("status qcsblhdcfg downloading..."), vek::STAGE_IMAGES);
  EXPECT_EQ(window_.StageAt("status amss downloading..."), vek::STAGE_IMAGES);
  EXPECT_EQ(window_.StageAt("status download images finished"), vek::STAGE_SWITCH);
  EXPECT_EQ(job().stage, vek::STAGE_SWITCH);
  // The bar is reset before the final reset.
  const auto all = window_.All();
  const auto finished = std::find_if(all.begin(), all.end(), [](const auto& s) { return s.what == "status download images finished"; });
  ASSERT_NE(finished, all.begin());
  EXPECT_EQ(std::prev(finished)->what, "progress 0/1");

  // The module received the programmer and every image; the last request was the reset.
  const auto codes = RequestCodes();
  ASSERT_FALSE(codes.empty());
  EXPECT_EQ(codes.back(), kStreamReset);
  std::lock_guard lock(module_->device().mutex);
  EXPECT_EQ(module_->device().flash.size(), 4u);
  EXPECT_EQ(module_->device().efs_erasures, 0);
}

TEST_F(FlashSequence, AModuleInTheBootLoaderStartsAtNop) {
  StartModule(SimState::kBootLoader, QuickModule());
  LoadImages(vek::PLATFORM_6280);

  ASSERT_EQ(vek::DownloadFlash(job()), 1);
  const auto statuses = window_.Statuses();
  ASSERT_GE(statuses.size(), 2u);
  EXPECT_EQ(statuses[0], OpenText());
  EXPECT_EQ(statuses[1], "nop");
  EXPECT_EQ(window_.Logs().at(1), "switch to download mode success");
  EXPECT_EQ(CountOf(statuses, "read version:"), 0);
  EXPECT_EQ(CountOf(statuses, "switch to download..."), 0);
  const auto codes = RequestCodes();
  EXPECT_EQ(std::count(codes.begin(), codes.end(), kSwitchToDownload), 0);
}

TEST_F(FlashSequence, AModuleRunningTheProgrammerStartsAtHello) {
  StartModule(SimState::kProgrammer, QuickModule());
  LoadImages(vek::PLATFORM_6280);

  ASSERT_EQ(vek::DownloadFlash(job()), 1);
  const auto statuses = window_.Statuses();
  ASSERT_GE(statuses.size(), 2u);
  EXPECT_EQ(statuses[0], OpenText());
  EXPECT_EQ(statuses[1], "hello...");
  const auto logs = window_.Logs();
  EXPECT_EQ(logs.at(1), "switch to going mode success");
  EXPECT_EQ(CountOf(logs, "switch to download mode success"), 0);
  EXPECT_EQ(CountOf(statuses, "nop"), 0);
  // Nothing but the probe before the hello: no version, no switch, no programmer.
  const auto codes = RequestCodes();
  const auto hello = std::find(codes.begin(), codes.end(), kStreamHello);
  ASSERT_NE(hello, codes.end());
  EXPECT_TRUE(std::all_of(codes.begin(), hello, [](uint8_t c) { return c == kDmssNop; }));
  std::lock_guard lock(module_->device().mutex);
  EXPECT_TRUE(module_->device().ram.empty());
}

TEST_F(FlashSequence, CancellingThePartitionMismatchResetsTheProgrammerAndFails) {
  sim::SimModuleOptions options = QuickModule();
  options.programmer.partition_mismatch = true;
  StartModule(SimState::kProgrammer, options);
  LoadImages(vek::PLATFORM_6280);
  window_.box_answer = 0;

  EXPECT_EQ(vek::DownloadFlash(job()), 0);
  EXPECT_EQ(window_.Boxes(), std::vector<std::string>{"2|warning|partition mismatch,erase the whole flash"});
  const auto statuses = window_.Statuses();
  EXPECT_TRUE(InOrder(statuses, {"partition", "partition mismatch", "stop, reset..."}));
  EXPECT_EQ(statuses.back(), "stop, reset...");
  EXPECT_EQ(window_.Logs().back(), "stop, waiting reset...");
  EXPECT_EQ(CountOf(statuses, "stop, waiting reset..."), 0);
  EXPECT_EQ(CountOf(window_.Logs(), "stop, reset..."), 0);

  const auto codes = RequestCodes(SimState::kProgrammer);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), kStreamPartition), 1);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), kStreamOpen), 0);
  ASSERT_FALSE(codes.empty());
  EXPECT_EQ(codes.back(), kStreamReset);
  std::lock_guard lock(module_->device().mutex);
  EXPECT_EQ(module_->device().whole_flash_erasures, 0);
}

TEST_F(FlashSequence, AcceptingThePartitionMismatchSendsTheTableWithOverride) {
  sim::SimModuleOptions options = QuickModule();
  options.programmer.partition_mismatch = true;
  StartModule(SimState::kProgrammer, options);
  LoadImages(vek::PLATFORM_6280);
  window_.box_answer = 1;

  ASSERT_EQ(vek::DownloadFlash(job()), 1);
  EXPECT_TRUE(InOrder(window_.Statuses(),
                      {"partition", "partition mismatch", "erasing flash,please wait...", "qcsblhdcfg downloading..."}));
  std::vector<uint8_t> overrides;
  for (const auto& request : module_->Requests())
    if (request.packet.size() >= 2 && request.packet[0] == kStreamPartition) overrides.push_back(request.packet[1]);
  EXPECT_EQ(overrides, (std::vector<uint8_t>{0, 1}));
  std::lock_guard lock(module_->device().mutex);
  EXPECT_EQ(module_->device().whole_flash_erasures, 1);
  EXPECT_EQ(module_->device().flash.size(), 4u);
}

TEST_F(FlashSequence, TheEfsIsErasedOnlyWhenChosenAndNotForTheSpecialModel) {
  StartModule(SimState::kProgrammer, QuickModule());
  LoadImages(vek::PLATFORM_6280);
  job().erase_efs = 1;
  device().special_model = 1;
  ASSERT_EQ(vek::DownloadFlash(job()), 1);
  EXPECT_FALSE(window_.Has("status erase EFS..."));
  {
    std::lock_guard lock(module_->device().mutex);
    EXPECT_EQ(module_->device().efs_erasures, 0);
  }

  // The module is resetting into its firmware: take it through the whole sequence again.
  window_.Clear();
  device().special_model = 0;
  vek::CloseDiagPort();
  ASSERT_TRUE(vektest::Eventually([&] {
    std::lock_guard lock(module_->device().mutex);
    return module_->device().boots >= 1;
  }));
  ASSERT_EQ(vek::DownloadFlash(job()), 1);
  EXPECT_TRUE(InOrder(window_.Statuses(), {"amss downloading...", "erase EFS...", "download images finished"}));
  EXPECT_EQ(window_.StageAt("status erase EFS..."), vek::STAGE_IMAGES);
  std::lock_guard lock(module_->device().mutex);
  EXPECT_EQ(module_->device().efs_erasures, 1);
}

// After "go..." the programmer comes up on the port; the first two probes go
// unanswered, so the host tries three times.
class ProgrammerWait : public FlashSequence {
 protected:
  // Returns how many times the host opened the diagnostic port during the job.
  int RunWithSilentProbes(uint32_t platform) {
    sim::SimModuleOptions options = QuickModule();
    options.bootloader.programmer_start = sim::ProgrammerStart::kSamePort;
    StartModule(SimState::kBootLoader, options);
    module_->faults().Add({SimState::kProgrammer, kDmssNop, sim::FaultKind::kSilence, 0, 2});
    LoadImages(platform);
    upgradetest::OpenCounter opens(module_->DevicePath(sim::SimPortRole::kDiagnostics));
    EXPECT_TRUE(opens.ok());
    EXPECT_EQ(vek::DownloadFlash(job()), 1);
    return opens.Opens();
  }
};

TEST_F(ProgrammerWait, ThePortIsReopenedAtEveryTry) {
  const int opens = RunWithSilentProbes(vek::PLATFORM_6280);
  EXPECT_EQ(opens, 1 + 3);  // the first open, then one per try
  EXPECT_TRUE(InOrder(window_.Statuses(), {"go...", "open port...", "waiting: 29", "waiting: 28", "hello..."}));
  EXPECT_EQ(CountOf(window_.Statuses(), "waiting: 27"), 0);
}

TEST_F(ProgrammerWait, The60x5KeepsThePortOpenBetweenTries) {
  const int opens = RunWithSilentProbes(vek::PLATFORM_60X5);
  EXPECT_EQ(opens, 1);
  EXPECT_TRUE(InOrder(window_.Statuses(), {"go...", "open port...", "waiting: 29", "waiting: 28", "hello..."}));
}

TEST_F(FlashSequence, APortThatNeverOpensIsReportedInABox) {
  StartModule(SimState::kFirmware, QuickModule());
  LoadImages(vek::PLATFORM_6280);
  device().diag_port = 99;  // no such port

  EXPECT_EQ(vek::DownloadFlash(job()), 0);
  EXPECT_EQ(window_.Statuses(), (std::vector<std::string>{"open COM99...", "open com port failed"}));
  EXPECT_EQ(window_.Logs(), (std::vector<std::string>{"open COM99...", "open com port failed"}));
  EXPECT_EQ(window_.Boxes(), std::vector<std::string>{"1|Error|can't open diagnostic COM99, maybe it is using!"});
}

// The one slow case: the module never leaves its firmware, so all 30 tries run.
TEST_F(FlashSequence, WaitingForTheBootLoaderCountsDownToZeroThenGivesUp) {
  StartModule(SimState::kFirmware, QuickModule());
  module_->faults().Add({SimState::kFirmware, kSwitchToDownload, sim::FaultKind::kSilence});
  LoadImages(vek::PLATFORM_6280);

  EXPECT_EQ(vek::DownloadFlash(job()), 0);
  std::vector<std::string> waiting;
  for (const auto& s : window_.Statuses())
    if (s.rfind("waiting: ", 0) == 0) waiting.push_back(s);
  std::vector<std::string> expected;
  for (int left = 29; left >= 0; --left) expected.push_back("waiting: " + std::to_string(left));
  EXPECT_EQ(waiting, expected);
  const auto statuses = window_.Statuses();
  ASSERT_GE(statuses.size(), 2u);
  EXPECT_EQ(statuses[statuses.size() - 2], "waiting: 0");
  EXPECT_EQ(statuses.back(), "open timeout failed");
  EXPECT_EQ(window_.Logs().back(), "open timeout failed");
  EXPECT_EQ(CountOf(window_.Logs(), "waiting: 5"), 0);  // shown, never logged
  EXPECT_EQ(window_.Boxes(), std::vector<std::string>{"1|Error|can't open diagnostic COM" + std::to_string(DiagCom()) +
                                                      ", maybe the diagnostic com port is changed!"});
}

}  // namespace
