#include "upgrade/download_worker.h"

#include <poll.h>
#include <sys/ioctl.h>

#include <atomic>
#include <chrono>
#include <string>

#include "app/launch_options.h"
#include "app/log_file.h"
#include "images/image_loader.h"
#include "images/image_set.h"
#include "link/open_failure.h"
#include "link/serial_port.h"
#include "nv/nv_window.h"
#include "records/job_facts.h"
#include "records/stop_wait.h"
#include "upgrade/port_discovery.h"
#include "upgrade/preflight_check.h"
#include "upgrade/status_report.h"
#include "upgrade/upgrade_procedure.h"

namespace vek {
namespace {

std::atomic<bool> vault_asked{false};
// --nv-window as UpgradeJob::nv_window holds it, or none asked.
constexpr int32_t kNoWindowAsked = -1;
std::atomic<int32_t> window_asked{kNoWindowAsked};

constexpr const char* kPrime = "\u2032";
constexpr const char* kDoublePrime = "\u2033";

// The choices of this job, from the launch options and the window.
void FillChoices(UpgradeJob& job, WindowNotifications& window) {
  const LaunchOptions& options = TheLaunchOptions();
  if (job.download_mode != 0) {
    job.backup_enable = 0;
    job.restore_enable = 0;
    job.restore_default = 0;
    job.erase_efs = 0;
  } else {
    job.backup_enable = DecimalValue(options.backup);
    job.restore_enable = DecimalValue(options.restore);
    job.erase_efs = DecimalValue(options.erase_efs);
    job.restore_default = window.RestoreDefaultTicked() ? 1 : 0;
  }
  job.download_enable = DecimalValue(options.download);
  job.restore_vault = vault_asked || options.restore_from_vault() ? 1 : 0;
  // "[nv] window" that is not 1 to 16 or auto leaves it at one request at a time, and says so.
  const std::optional<NvWindowChoice> configured = NvWindowOf(options.nv_window);
  if (!configured && window_asked == kNoWindowAsked)
    job.write_log("config.ini: [nv] window=%s is not 1 to 16 or auto: one NV request at a time",
                  options.nv_window.c_str());
  job.nv_window = window_asked != kNoWindowAsked ? window_asked.load()
                  : !configured                  ? 1
                  : configured->automatic        ? 0
                                                 : configured->size;
}

// How long a job whose port vanished waits for the window's removal handler.
constexpr uint32_t kRemovalNoticeMs = 5000;

// The diagnostic port has gone away under the job: it hung up, or no
// "Diagnostics" port is listed any more.
bool DiagPortVanished() {
  const PortHandle port = DiagPort.load();
  if (port != kInvalidPort) {
    // A hung-up port that still holds unread bytes has not been read to its end yet.
    pollfd p{port, POLLIN, 0};
    int queued = 0;
    if (poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR)) &&
        !(ioctl(port, FIONREAD, &queued) == 0 && queued > 0))
      return true;
  }
  return CountDiagPorts() == 0;
}

// A job that failed because its port vanished at a stage where it must stay
// was ended by the pulled cable. The port's read fails the moment the cable
// goes, a little before the removal reaches the window: leave the job to the
// window's removal handler, which stops this worker and reports the cable.
void AwaitRemovalHandler(const UpgradeJob& job) {
  const int32_t stage = job.stage;
  if (stage != STAGE_BACKUP && stage != STAGE_RESTORE && stage != STAGE_IMAGES) return;
  if (!DiagPortVanished()) return;
  PauseMs(kRemovalNoticeMs);  // ends early when the handler stops the worker
}

// The digests of the files just loaded, so that the module can be traced to
// the exact files it was given: sha256sum's own lines, then the set's.
void LogImageFingerprint(UpgradeJob& job) {
  const ImageSetFingerprint fingerprint = LoadedImageSetFingerprint();
  for (const FileFingerprint& file : fingerprint.files) job.write_log("%s", FileDigestLine(file).c_str());
  job.write_log("%s", SetDigestLine(fingerprint).c_str());
  ImageSetFacts facts{HexOf(fingerprint.set_sha256), {}};
  for (const FileFingerprint& file : fingerprint.files) facts.files.push_back({file.name, file.size, HexOf(file.sha256)});
  NoteImageSet(std::move(facts));
}

// At a successful end: the time taken and the final status text.
void ReportSuccess(UpgradeJob& job, Clock::time_point started) {
  const auto elapsed_ms =
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
  const auto [minutes, seconds] = JobTimeOf(elapsed_ms);
  const std::string result = JobResultText().Get();
  job.write_log("%s", result.c_str());
  job.write_log("time: %dmin%dsec", minutes, seconds);
  if (job.download_enable == 1) {
    job.show_status("%s", SuccessText(minutes, seconds, result).c_str());
  } else if (job.restore_enable == 0 && job.backup_enable == 1) {
    job.show_status("backup nvb success!");
  } else if (job.restore_enable == 1 && job.backup_enable == 0) {
    job.show_status("restore nvb success!");
  } else {
    job.show_status("ok! (do nothing)");
  }
}

int RunJob(UpgradeJob& job, WindowNotifications& window, const VaultSearch* vault, Clock::time_point started) {
  if (CountDiagPorts() > 1) {
    job.show_message(1, "There are other devices, please remove them and try again!", "Error!!!");
    NoteEngineJobEnd(JobResult::kNoJob, "There are other devices, please remove them and try again!");
    return 1;
  }
  FillChoices(job, window);
  if (job.download_enable == 1) {
    const std::string folder = window.ImagePathText();
    if (folder.empty()) {
      job.show_message(1, "please input image folder!", "Error");
      NoteEngineJobEnd(JobResult::kNoJob, "please input image folder!");
      return 0;
    }
    job.image_path.Set(folder);
  }
  LogJobOptions();
  RunPreflightCheck(job);  // a warning, shown before the job's own first status
  ShowAndLog(job, "start download...");
  TheDevice().download_status = 1;
  EnterStep(JobStep::kConnect);
  if (OpenImageSet(job) == 0) {
    FailStep("open image file error!");
    NoteEngineJobEnd(JobResult::kFailed);
    return 0;
  }
  const int result = RunUpgrade(job, vault);
  if (result != 1) AwaitRemovalHandler(job);
  if (StopRequested()) return 0;
  if (result == 1) ReportSuccess(job, started);
  NoteEngineJobEnd(result == 1 ? JobResult::kSucceeded : JobResult::kFailed);
  return result;
}

}  // namespace

void AskRestoreFromVault(bool asked) { vault_asked = asked; }

void AskNvWindow(const std::string& asked) {
  const std::optional<NvWindowChoice> choice = NvWindowOf(asked);
  window_asked = !choice ? kNoWindowAsked : choice->automatic ? 0 : choice->size;
}

void NoteEngineJobEnd(JobResult result, std::string text) {
  // The exit statuses of vek-cli for a success and a failure: the desktop program
  // has none of its own for a job, and its rows keep these (a refused job's too).
  constexpr int kSucceededStatus = 0, kOtherStatus = 1;
  if (text.empty()) text = result == JobResult::kSucceeded ? JobResultText().Get() : JobFactsSnapshot().reason;
  NoteJobEnd({result, std::move(text), result == JobResult::kSucceeded ? kSucceededStatus : kOtherStatus, 0, true});
}

JobTime JobTimeOf(uint64_t elapsed_ms) {
  const uint64_t whole_seconds = elapsed_ms / 1000;
  return {static_cast<unsigned>(whole_seconds / 60), static_cast<unsigned>(whole_seconds % 60)};
}

std::string SuccessText(unsigned minutes, unsigned seconds, const std::string& result) {
  return "Ok! " + std::to_string(minutes) + kPrime + std::to_string(seconds) + kDoublePrime + ", " + result;
}

int OpenImageSet(UpgradeJob& job) {
  if (job.download_enable != 1) return 1;
  if (LoadImageSet(job)) {
    LogImageFingerprint(job);
    return 1;
  }
  job.show_status("open image file error!");
  return 0;
}

void CloseJob() {
  SetJobStage(TheJob(), STAGE_IDLE);
  CloseLogFile();
  CloseDiagPort();
  FreeImageSet();
}

void LogJobOptions() {
  UpgradeJob& job = TheJob();
  DeviceInfo& device = TheDevice();
  const std::string rule(40, '-');
  job.write_log("%s", rule.c_str());
  job.write_log("IMGPATH: %s", job.image_path.Get().c_str());
  job.write_log("DLDEN: %d", job.download_enable.load());
  job.write_log("BCK: %d", job.backup_enable.load());
  job.write_log("RSTOR: %d", job.restore_enable.load());
  job.write_log("FCT: %d", job.restore_default.load());
  job.write_log("TGSTA: %d", static_cast<int>(job.target_state.load()));
  job.write_log("PLAT: %d", static_cast<int>(job.platform.load()));
  job.write_log("DLDMD: %d", job.download_mode.load());
  if (job.restore_vault != 0) job.write_log("VAULT: %d", job.restore_vault.load());
  job.write_log("%s", std::string(40, '=').c_str());
  job.write_log("Ver: %s", device.sw_version.Get().c_str());
  job.write_log("Diag: COM%d", static_cast<int>(device.diag_port.load()));
  job.write_log("AT: COM%d", static_cast<int>(device.at_port.load()));
  if (device.ids_valid != 0) job.write_log("ID(M,D): %d,%d", device.product_m.load(), device.product_d.load());
  job.write_log("%s", rule.c_str());
}

int DownloadWorker(WindowNotifications& window, const VaultSearch* vault) {
  UpgradeJob& job = TheJob();
  DeviceInfo& device = TheDevice();
  const Clock::time_point started = Clock::now();
  StartJobFacts();
  ForgetOpenFailures();  // a port that fails in this job says why in this job's log
  const int result = RunJob(job, window, vault, started);
  // A worker stopped because the cable was pulled leaves the clean-up to the
  // removal handler, which has already run it.
  if (StopRequested()) return 0;
  CloseJob();
  window.EnableJobControls(device.special_model == 0);
  ResetAfterJob(job, device);
  if (result != 0) job.show_progress(0, 1);
  return result;
}

}  // namespace vek
