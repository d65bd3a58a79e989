#include "upgrade/download_flash.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "images/platform_profile.h"
#include "link/console_output.h"
#include "link/serial_port.h"
#include "protocol/diag_commands.h"
#include "protocol/dmss_commands.h"
#include "protocol/mode_probe.h"
#include "protocol/stream_commands.h"
#include "records/job_facts.h"
#include "records/reporting.h"
#include "records/stop_wait.h"
#include "records/terminal_text.h"
#include "upgrade/moved_port.h"
#include "upgrade/status_report.h"

namespace vek {
namespace {

constexpr int kTries = 30;
constexpr uint32_t kRetryOpenMs = 500;
constexpr uint32_t kBeforeProbeMs = 1000;
constexpr uint32_t kBetweenBootCommandsMs = 100;
constexpr uint32_t kBeforeHelloMs = 200;
constexpr uint32_t kAfterPartitionFailureMs = 1000;

constexpr int kFailed = 0;
constexpr int kDone = 1;

// Opens the diagnostic port, retrying while it is absent or busy.
bool OpenPort(UpgradeJob& job, uint32_t diag_port) {
  job.show_status("open COM%d...", diag_port);
  job.write_log("open COM%d...", diag_port);
  for (int attempt = 0; attempt < kTries; ++attempt) {
    if (OpenDiagPort(diag_port)) return true;
    CloseDiagPort();
    if (!PauseMs(kRetryOpenMs)) return false;
  }
  ShowAndLog(job, "open com port failed");
  FailStep("open com port failed");
  char text[128];
  std::snprintf(text, sizeof text, "can't open diagnostic COM%d, maybe it is using!", diag_port);
  job.show_message(1, text, "Error");
  return false;
}

// Probes until one of the module's programs answers.
bool ClassifyModule(UpgradeJob& job) {
  for (int attempt = 0; attempt < kTries; ++attempt) {
    if (!PauseMs(kBeforeProbeMs)) return false;
    job.target_state = ProbeMode();
    if (job.target_state != TARGET_UNSPECIFIED) return true;
  }
  return Fail(job, "module state unspecified");
}

// Waits, probing, until the module answers in `wanted`. Reopens the port before
// every try unless `keep_port_open`; a port whose device has gone is reopened
// anyway, and one that came back under another number at the module's USB path
// is followed. Shows the tries left while it waits.
bool WaitForMode(UpgradeJob& job, TargetMode wanted, bool keep_port_open) {
  for (int left = kTries - 1; left >= 0; --left) {
    if (!keep_port_open) CloseDiagPort();
    if (!OpenDiagPort(TheDevice().diag_port) && !(FollowDiagPort(job) && OpenDiagPort(TheDevice().diag_port))) {
      if (!PauseMs(kRetryOpenMs)) return false;
      continue;
    }
    if (!PauseMs(kBeforeProbeMs)) return false;
    job.target_state = ProbeMode();
    if (job.target_state == wanted) return true;
    job.show_status("waiting: %d", left);
  }
  return Fail(job, "open timeout failed");
}

// No suspend or shutdown from here until the module runs its firmware again. Without
// logind the job goes on; the debug output says so once per process.
void InhibitSleep(SleepInhibitor& sleep_lock) {
  static std::atomic<bool> told{false};
  const std::string why_not = sleep_lock.Take();
  if (why_not.empty() || StopRequested()) return;
  if (!told.exchange(true)) DebugTrace("no logind: suspend and shutdown are not inhibited (%s)", why_not.c_str());
}

// The firmware's version, for the record.
void ReadVersion(UpgradeJob& job) {
  ShowAndLog(job, "read version:");
  if (DiagVersion()) {
    const std::string version = ReplyText(1);
    ConsoleWrite("Version:" + ControlsAsBlanks(version) + "\r\n");
    job.write_log("Version:%s", version.c_str());  // the log adds its own line end
  } else {
    ShowAndLog(job, "read version failed");
  }
}

// From the running firmware into the boot loader.
bool SwitchToBootLoader(UpgradeJob& job) {
  const uint32_t diag_port = TheDevice().diag_port;
  SetJobStage(job, STAGE_SWITCH);
  ShowAndLog(job, "switch to download...");
  DiagSwitchToDownload();
  job.show_status("open COM%d...", diag_port);
  job.write_log("open COM%d...", diag_port);
  // The boot loader comes up on the port we still hold.
  if (WaitForMode(job, TARGET_DOWNLOAD, true)) return true;
  if (StopRequested()) return false;
  char text[128];
  std::snprintf(text, sizeof text, "can't open diagnostic COM%d, maybe the diagnostic com port is changed!",
                TheDevice().diag_port.load());
  job.show_message(1, text, "Error");
  return false;
}

// Loads the programmer into the boot loader and start it.
bool StartProgrammer(UpgradeJob& job, const PlatformProfile* profile) {
  EnterStep(JobStep::kProgrammer);
  job.write_log("switch to download mode success");
  ShowAndLog(job, "nop");
  if (!DmssNop()) {
    return Fail(job, "nop failed");
  }
  if (!PauseMs(kBetweenBootCommandsMs)) return false;
  ShowAndLog(job, "preq");
  if (!DmssParamRequest()) {
    return Fail(job, "preq failed");
  }
  if (!PauseMs(kBetweenBootCommandsMs)) return false;
  ShowAndLog(job, "write hex");
  if (!DmssWriteProgrammer()) {
    return Fail(job, "write hex failed");
  }
  if (!PauseMs(kBetweenBootCommandsMs)) return false;
  ShowAndLog(job, "go...");
  DmssGo();
  ShowAndLog(job, "open port...");
  const bool keep_open = profile != nullptr && profile->port_stays_open_for_programmer;
  return WaitForMode(job, TARGET_GOING, keep_open);
}

// The partition table, asking the operator before erasing the whole flash.
bool SendPartitionTable(UpgradeJob& job) {
  ShowAndLog(job, "partition");
  int result = StreamPartitionTable(0);
  if (result == 2) {
    ShowAndLog(job, "partition mismatch");
    if (job.show_message(2, "partition mismatch,erase the whole flash", "warning") == 0) {
      FailStep("partition mismatch");
      job.show_status("stop, reset...");
      job.write_log("stop, waiting reset...");
      StreamReset();
      return false;
    }
    ShowAndLog(job, "erasing flash,please wait...");
    result = StreamPartitionTable(1);
    if (result == 0) {
      return Fail(job, "erase failed");
    }
    return true;
  }
  if (result == 0) {
    ShowAndLog(job, "partition fail");
    FailStep("partition fail");
    PauseMs(kAfterPartitionFailureMs);
    return false;
  }
  return true;
}

// Greets the programmer and write every image of the platform.
bool WriteFlash(UpgradeJob& job, const PlatformProfile* profile) {
  EnterStep(JobStep::kPartition);
  job.write_log("switch to going mode success");
  ShowAndLog(job, "hello...");
  PurgeDiagPort(kPurgeReceive);
  PurgeDiagPort(kPurgeTransmit);
  if (!PauseMs(kBeforeHelloMs)) return false;
  if (!StreamHello()) {
    return Fail(job, "hello failed, maybe Nand Flash type mis-match!");
  }
  const std::string flash_type = HelloFlashName();
  job.show_status("Flash_type:%s", flash_type.c_str());
  job.write_log("Flash_type:%s", flash_type.c_str());
  ShowAndLog(job, "trust");
  if (!StreamSecurityMode()) {
    return Fail(job, "trust failed");
  }
  if (!SendPartitionTable(job)) return false;

  SetJobStage(job, STAGE_IMAGES);
  if (profile != nullptr) {
    for (const ImageToWrite& image : profile->images) {
      ImageSlot slot;
      EnterStep(JobStep::kImage, SlotOfImageData(image.type, slot) ? SlotFileName(slot, *profile) : "");
      ShowAndLog(job, image.start_text);
      if (!StreamOpenImage(image.type)) {
        return Fail(job, image.open_failure_text);
      }
      if (!StreamWriteImage(image.type)) {
        return Fail(job, "write failed");
      }
      if (!StreamClose()) {
        return Fail(job, "close failed");
      }
    }
  }
  if (job.erase_efs != 0 && TheDevice().special_model == 0) {
    EnterStep(JobStep::kEraseEfs);
    ShowAndLog(job, "erase EFS...");
    if (!StreamEraseEfs()) {
      return Fail(job, "erase failed");
    }
    if (!StreamClose()) {
      return Fail(job, "close failed");
    }
  }
  return true;
}

}  // namespace

int DownloadFlash(UpgradeJob& job) {
  SleepInhibitor sleep_lock;
  return DownloadFlash(job, sleep_lock);
}

int DownloadFlash(UpgradeJob& job, SleepInhibitor& sleep_lock) {
  const PlatformProfile* profile = ProfileOf(job.platform);
  EnterStep(JobStep::kSwitch);
  if (!OpenPort(job, TheDevice().diag_port)) return kFailed;
  if (!ClassifyModule(job)) return kFailed;
  if (job.target_state == TARGET_DIAG) {
    ReadVersion(job);
    InhibitSleep(sleep_lock);
    if (!SwitchToBootLoader(job)) return kFailed;
  } else {
    InhibitSleep(sleep_lock);  // found in the boot loader or the programmer: off its firmware already
  }
  if (job.target_state == TARGET_DOWNLOAD && !StartProgrammer(job, profile)) return kFailed;
  if (!WriteFlash(job, profile)) return kFailed;

  job.show_progress(0, 1);
  SetJobStage(job, STAGE_SWITCH);
  EnterStep(JobStep::kReset);
  ShowAndLog(job, "download images finished");
  if (!StreamReset()) {
    ShowAndLog(job, "download reset failed!");
    FailStep("download reset failed!");
    return kFailed;
  }
  ShowAndLog(job, "waiting reset...");
  return kDone;
}

}  // namespace vek
