// What a front end reports while a job goes, and the operator's stop.
#include "device/session.h"

#include "app/launch_options.h"
#include "nv/nv_window.h"
#include "records/job_facts.h"
#include "records/job_records.h"
#include "store/station_db_path.h"
#include "upgrade/download_worker.h"
#include "upgrade/upgrade_procedure.h"

namespace vek {

JobFacts Session::Facts() { return JobFactsSnapshot(); }

void Session::EndJob(JobEnd end) { NoteJobEnd(std::move(end)); }

void Session::RestoreFromVault(bool asked) { AskRestoreFromVault(asked); }

void Session::NvWindow(const std::string& asked) { AskNvWindow(asked); }

bool Session::IsNvWindow(const std::string& text) { return NvWindowOf(text).has_value(); }

std::string Session::LineDbUrl(const std::string& option) {
  if (!option.empty()) return option;
  const char* from_environment = std::getenv("VEK_LINE_DB");
  if (from_environment != nullptr && from_environment[0] != '\0') return from_environment;
  return ReadLaunchOptions(LaunchOptionsPath()).line_database;
}

std::string Session::StationDbPath(const std::string& option, bool disabled) {
  return vek::StationDbPath(option, disabled);
}

std::string Session::JobResultText() { return vek::JobResultText().Get(); }

JobStop Session::StopJob() {
  if (!download_worker_.Running()) return {};
  UpgradeJob& job = TheJob();
  DeviceInfo& device = TheDevice();
  const bool writing_flash = job.stage == STAGE_IMAGES;
  // Every wait of the worker honours the stop request, and a stopped worker no
  // longer waits for this thread, so waiting for it here cannot deadlock.
  download_worker_.RequestStop();
  download_worker_.Join();
  JobStop stop{true, nullptr};
  const uint32_t mode = job.target_state;
  if (writing_flash || mode == TARGET_GOING) {
    stop.waiting_in = "programmer";
  } else if (mode == TARGET_DOWNLOAD) {
    stop.waiting_in = "boot loader";
  }
  // A worker that had already ended its job keeps its end, unless the job
  // failed: the operator's stop is then its end. One that was stopped left the
  // clean-up to this thread.
  const JobResult result = JobFactsSnapshot().end.result;
  if (result != JobResult::kSucceeded && result != JobResult::kNoJob) {
    FailStep("aborted", true);
    NoteEngineJobEnd(JobResult::kAborted);
    // Logged before the log is closed, so the reason reaches "vek.log".
    job.write_log("aborted");
    job.show_status("aborted");
  }
  CloseJob();
  device.download_status = 0;
  device.connecting = 0;
  proxy_.DownloadAborted();
  return stop;
}

}  // namespace vek
