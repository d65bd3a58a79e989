#include "upgrade/upgrade_procedure.h"

#include <cstdio>

#include "app/sleep_inhibitor.h"
#include "at/at_control_commands.h"
#include "at/device_identity.h"
#include "link/serial_port.h"
#include "nv/nv_backup.h"
#include "protocol/diag_commands.h"
#include "protocol/mode_probe.h"
#include "records/job_facts.h"
#include "records/stop_wait.h"
#include "upgrade/download_flash.h"
#include "upgrade/moved_port.h"
#include "upgrade/owed_restore.h"
#include "upgrade/vault_restore.h"
#include "upgrade/port_discovery.h"
#include "upgrade/status_report.h"

namespace vek {
namespace {

constexpr int kTargetTries = 30;
constexpr uint32_t kRetryOpenMs = 500;
constexpr uint32_t kBeforeProbeMs = 1000;
// Answers from the program a reset module is leaving that are taken for "not yet
// restarted" before one is believed (the reset did not take).
constexpr int kLeavingAnswers = 5;
constexpr uint32_t kAfterOfflineFailureMs = 500;
constexpr int kAtPortPauses = 30;
constexpr uint32_t kAtPortPauseMs = 2000;
// The backup was chosen but the module did not answer: nothing of this module was saved.
constexpr int kBackupSkipped = -1;

// Makes sure the module answers and prepare it for the download.
void ReachModule(UpgradeJob& job) {
  WaitForTarget();
  if (job.target_state == TARGET_DIAG) SentCpwrondCmd();
  job.write_log("set download interface type...");
  if (DiagSetInterfaceType()) {
    job.write_log("interface type:%s", ReplyText(0).c_str());
  } else {
    job.write_log("setting interface type failed!");
    DiagUnlockSpc();
  }
}

bool Unlock(UpgradeJob& job) {
  ShowAndLog(job, "unclock sp...");
  if (DiagUnlockSpc() != 1) return Fail(job, "unlock sp failed!");
  ShowAndLog(job, "unclock sp ok");
  return true;
}

// The NV backup before the download. Returns false when the job ends; `backup_result` gets BackupNv's result.
bool BackUp(UpgradeJob& job, int& backup_result) {
  switch (job.target_state) {
    case TARGET_DIAG:
      EnterStep(JobStep::kBackup);
      if (!Unlock(job)) return false;
      SetJobStage(job, STAGE_BACKUP);
      backup_result = BackupNv(job);
      if (backup_result == kNvCannotOpen || backup_result == kNvEndedEarly) {
        Fail(job, "backup nvb failed!");
        job.show_message(1, "backup nvb failed!", "error!");
        return false;
      }
      return true;
    case TARGET_DOWNLOAD:
    case TARGET_GOING:
      EnterStep(JobStep::kBackup);
      return Fail(job, "backup nvb failed, target is in download mode!");
    default:
      // Nothing answered: no backup. A backup.nvb already in the folder belongs to an
      // earlier job, maybe another module, so this job must not restore it.
      backup_result = kBackupSkipped;
      return true;
  }
}

// After the download: writes the backup back into the reset module (the
// earlier job's backup when this module is owed one), and drops the note of the
// owed restore once it succeeded.
bool Restore(UpgradeJob& job, SleepInhibitor& sleep_lock, const OwedRestore& owed, bool say_reset) {
  EnterStep(JobStep::kRestore);
  WaitForTarget(say_reset ? TARGET_GOING : TARGET_UNSPECIFIED);
  if (job.target_state == TARGET_DIAG) sleep_lock.Release();  // back in its firmware
  if (say_reset) ShowAndLog(job, "reset ok");
  if (job.target_state != TARGET_DIAG) {
    sleep_lock.Release();  // the job ends here: not while the box is open
    Fail(job, "unspecified state for restore qcn!");
    job.show_message(1, "unspecified state for restore qcn!", "Error");
    return false;
  }
  job.show_status("switch to offline mode");
  if (DiagOffline() != 1) {
    ShowAndLog(job, "switch offline mode failed!");
    if (!PauseMs(kAfterOfflineFailureMs)) return false;
  }
  if (!Unlock(job)) return false;
  SetJobStage(job, STAGE_RESTORE);
  if (!PrepareOwedRestore(job, owed) || RestoreNv(job) != kNvCompleted) return Fail(job, "restore backup.nvb failed!");
  SettleOwedRestore(owed);
  return true;
}

// Whether a version text holds more than blanks.
bool Told(const std::string& version) { return version.find_first_not_of(" \t\r\n") != std::string::npos; }

// The upgraded module answered the identity query on `port` and named its
// version in that answer. An answer without it (the version's reply lost or cut
// on a busy link, where the manufacturer's line came through) is no answer: the
// version the job reports is the one the module gave after its download. A job
// that began in a download mode never learnt who the module is: it needs the
// module's name as well, to find the NV restore the module may be owed (a reply
// lost on a busy link must not pass for "none owed").
bool AnsweredIdentity(uint32_t port) {
  DeviceInfo& device = TheDevice();
  device.new_sw_version.Clear();
  return ReadDeviceIdentity(port, 1) && Told(device.new_sw_version.Get()) &&
         (TheJob().download_mode == 0 || ModuleNamed());
}

// Waits until the upgraded module answers the identity query.
bool WaitForUpgradedModule() {
  EnterStep(JobStep::kIdentity);
  DeviceInfo& device = TheDevice();
  if (AnsweredIdentity(device.at_port)) return true;
  for (int pauses = 0;;) {
    if (AnsweredIdentity(device.nmea_port)) return true;
    if (pauses == kAtPortPauses) return false;
    if (!PauseMs(kAtPortPauseMs)) return false;
    ++pauses;
    if (device.at_port == 0) FindModulePorts();
    FollowFirmwarePorts(TheJob());
    if (AnsweredIdentity(device.at_port)) return true;
  }
}

// A job without a download: the version the module named at its connection is
// its version at the end (nothing was written to its flash); one it did not name
// is asked once more.
bool VersionAtTheEnd(DeviceInfo& device) {
  if (Told(device.sw_version.Get())) return true;
  return ReadDeviceIdentity(device.at_port, 0) && Told(device.sw_version.Get());
}

// What a job knows at its end when the module did not name its version.
constexpr const char* kUpdatedRestored =
    "the images are written and the NV items restored, but the module did not say its new version";
constexpr const char* kUpdated = "the images are written, but the module did not say its new version";
constexpr const char* kRestoredUnnamed = "the NV items are restored, but the module did not say its version";
constexpr const char* kDoneUnnamed = "the job is done, but the module did not say its version";

// A job whose module did not confirm its version is no success, whatever was
// done to it: it says what it knows and asks for the operator's attention.
int UnconfirmedEnd(UpgradeJob& job, const char* known) {
  NoteAttention(JobAttention::kVersionUnconfirmed);
  Fail(job, known);
  return 0;
}

// The old and new versions, in a box and in the result text.
void ReportVersions(UpgradeJob& job) {
  DeviceInfo& device = TheDevice();
  if (job.restore_enable == 0 && job.restore_default == 0) ShowAndLog(job, "reset ok");
  char report[260] = {};
  std::snprintf(report, sizeof report, "update version %s to version %s", device.sw_version.Get().c_str(),
                device.new_sw_version.Get().c_str());
  JobResultText().Set(report);
  job.show_message(1, report, "OK");
  device.sw_version.Set(device.new_sw_version.Get());
}

}  // namespace

SharedText<260>& JobResultText() {
  static SharedText<260> text;
  return text;
}

bool IsRestoreDefaultOnly(const UpgradeJob& job) {
  return job.backup_enable == 0 && job.restore_enable == 0 && job.download_enable == 0 && job.restore_default == 1;
}

void WaitForTarget(TargetMode leaving) {
  UpgradeJob& job = TheJob();
  ShowAndLog(job, "open port...");
  int leaving_answers = 0;
  for (int attempt = 0; attempt < kTargetTries; ++attempt) {
    CloseDiagPort();
    if (!OpenDiagPort(TheDevice().diag_port) && !(FollowDiagPort(job) && OpenDiagPort(TheDevice().diag_port))) {
      if (!PauseMs(kRetryOpenMs)) return;
      continue;
    }
    if (!PauseMs(kBeforeProbeMs)) return;
    job.target_state = ProbeMode();
    // A module acknowledges its reset and restarts a moment later: meanwhile the
    // program it is leaving may still answer on the port it had.
    if (job.target_state == leaving && job.target_state != TARGET_UNSPECIFIED && ++leaving_answers < kLeavingAnswers)
      continue;
    if (job.target_state != TARGET_UNSPECIFIED) return;
  }
}

int RunUpgrade(UpgradeJob& job, const VaultSearch* vault) {
  DeviceInfo& device = TheDevice();
  int success = 1;
  int backup_result = kNvCompleted;
  OwedRestore owed;
  // Held from the switch to download until the module runs its firmware again;
  // given back on every way out of here.
  SleepInhibitor sleep_lock;

  if (IsRestoreDefaultOnly(job)) {
    job.show_status("restore default...");
  } else {
    ReachModule(job);
    if (StopRequested()) return 0;
    if (job.backup_enable != 0 && !BackUp(job, backup_result)) return 0;
    // From here until its restore succeeds the module is owed one, whatever ends the job.
    if (job.restore_enable != 0 && backup_result == kNvCompleted)
      owed = job.backup_enable != 0 ? NoteOwedRestore(job) : FindOwedRestore();
  }
  job.show_progress(0, 1);

  if (job.download_enable == 1 && DownloadFlash(job, sleep_lock) == 0) {
    sleep_lock.Release();  // before the box, which may stay open for long
    FailStep("download failed!");  // when the step did not say why itself
    job.show_status("download failed!");
    job.show_message(1, "download failed!", "Error");
    job.write_log("download failed!");
    return 0;
  }
  if (job.restore_enable != 0 && backup_result == kNvCompleted &&
      !Restore(job, sleep_lock, owed, job.download_enable == 1))
    return 0;
  const bool restored = job.restore_enable != 0 && backup_result == kNvCompleted;
  if (job.restore_enable != 0 && backup_result == kBackupSkipped) ShowAndLog(job, "no backup made, restore skipped");
  job.show_progress(0, 1);

  if (job.download_enable == 1) success = WaitForUpgradedModule() ? 1 : 0;
  sleep_lock.Release();  // it answered in its firmware, or the wait gave up
  if (StopRequested()) return 0;
  // A module found in a download mode gets its images only; once its firmware
  // names it, an earlier job's backup it is owed is written back.
  // Else, when asked, its newest backup kept at any station of the line.
  if (job.download_mode != 0 && success == 1) {
    owed = FindOwedRestore();
    const VaultBackupPlaced placed =
        owed.note || job.restore_vault == 0 ? VaultBackupPlaced::kNone : PlaceVaultBackup(job, vault);
    if (placed == VaultBackupPlaced::kFailed) return 0;
    if ((owed.note || placed == VaultBackupPlaced::kPlaced) && !Restore(job, sleep_lock, owed, false)) return 0;
  }

  if (job.restore_default == 1 && success == 1) {
    EnterStep(JobStep::kRestoreDefaults);
    if (AtRestoreDefaults(device.at_port)) {
      ShowAndLog(job, "AT&F1: restore default setting success!");
    } else {
      ShowAndLog(job, "AT&F1: command not support, restore failed!");
      if (IsRestoreDefaultOnly(job)) {
        FailStep("AT&F1: command not support, restore failed!");
        return 0;
      }
    }
  }
  if (job.download_enable == 1) {
    if (success == 1) {
      ReportVersions(job);
    } else {
      ShowAndLog(job, "can't get new version info!");
      UnconfirmedEnd(job, restored ? kUpdatedRestored : kUpdated);
    }
  } else if (success == 1 && !VersionAtTheEnd(device)) {
    return UnconfirmedEnd(job, restored ? kRestoredUnnamed : kDoneUnnamed);
  }
  if (success == 1 && (job.download_enable == 1 || job.restore_enable == 1)) {
    SetJobStage(job, STAGE_SWITCH);
    EnterStep(JobStep::kNormalReset);
    ShowAndLog(job, "normal reset...");
    // The port held since the programmer went with the download's reset: the
    // reset goes to the firmware's port, wherever it came back.
    if (!OpenDiagPort(device.diag_port)) {
      FollowDiagPort(job);
      OpenDiagPort(device.diag_port);
    }
    DiagReset();
    NoteNormalReset();
  }
  return success;
}

}  // namespace vek
