// vek-cli: one device connection and, when the module is ready, one upgrade job,
// exactly as pressing "start" once in the desktop program; then it exits.
//
// Exit status: 0 the upgrade succeeded; 1 a job ran and failed (or was aborted);
// 2 usage error; 3 no job ran (time-out, image folder incomplete, download mode
// without a product, more than one module, no image folder).
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "app/debug_output.h"
#include "app/single_instance.h"
#include "cli/cli_options.h"
#include "cli/cli_window.h"
#include "cli/event_loop.h"
#include "device/session.h"
#include "images/image_loader.h"
#include "images/product_catalogue.h"
#include "link/console_output.h"
#include "link/port_source.h"
#include "link/udev_port_source.h"
#include "records/job_records.h"
#include "records/stop_wait.h"
#include "upgrade/download_worker.h"
#include "upgrade/status_report.h"
#include "upgrade/supported_models.h"

namespace {

using Clock = std::chrono::steady_clock;

// In a download mode the module cannot name its product: the operator's
// --product does, as choosing it in the window's Product list would, and the
// image folder is checked again for that product's platform.
bool ChooseProductInDownloadMode(const vekcli::CliOptions& options, vekcli::CliWindow& window) {
  vek::UpgradeJob& job = vek::TheJob();
  uint32_t platform = job.platform;
  if (!vek::PlatformOfProductPosition(vek::ModelPosition(options.product), platform)) return false;
  job.platform = platform;
  vek::ChooseProductFolder(job);
  if (!vek::CheckImageSet(job)) {
    vek::ShowAndLog(job, "please choose image folder!");
    return false;
  }
  vek::ShowAndLog(job, "ready to download");
  window.SetImagePathText(job.image_path.Get());
  return true;
}

int ExitStatusOfJob() {
  switch (vek::LastJobOutcome()) {
    case vek::JobOutcome::kSucceeded: return vekcli::kExitSuccess;
    case vek::JobOutcome::kNoJob: return vekcli::kExitNoJob;
    default: return vekcli::kExitJobFailed;
  }
}

int Run(const vekcli::CliOptions& options) {
  vek::UseDebugOutput(options.verbose ? vek::DebugOutput::kStandardError : vek::DebugOutput::kNone);
  vek::SetConsoleOutput(STDERR_FILENO);  // standard output carries the status texts only
  if (!options.port_map.empty()) vek::SetPortMapPath(std::filesystem::absolute(options.port_map).string());
  if (!vek::ActivePortMapPath()) vek::InstallSystemPortSource();
  const std::string images =
      options.images.empty() ? std::string() : std::filesystem::absolute(options.images).lexically_normal().string();

  vekcli::EventLoop loop;
  vekcli::CliWindow window(options, images.empty() ? vek::CurrentDirectory() : images);
  vek::Session session(
      window, [&loop](std::function<void()> work) { loop.Post(std::move(work)); },
      [&loop] { return loop.OnLoopThread(); });
  session.Initialise(images, options.trace);
  session.StartDeviceSearch();

  // The device connection: until the connect task has finished.
  const bool connected = loop.RunUntil([&] { return !session.Searching(); }, vekcli::DeadlineOf(options, Clock::now()));
  if (!connected) {
    std::fprintf(stderr, "vek-cli: no module was ready within %g seconds\n", *options.timeout_seconds);
    return vekcli::kExitNoJob;
  }
  loop.RunUntil([] { return true; }, Clock::now());  // what the task posted last
  // Without --product, the start button refuses a module in a download mode.
  const bool download_mode = vek::TheJob().download_mode == 1;
  if (download_mode && !options.product.empty() && !ChooseProductInDownloadMode(options, window)) {
    std::fprintf(stderr, "vek-cli: the image folder is incomplete for %s; no job was started\n", options.product.c_str());
    return vekcli::kExitNoJob;
  }
  if (!download_mode && !window.image_folder_ready()) {
    std::fprintf(stderr, "vek-cli: the image folder is incomplete; no job was started\n");
    return vekcli::kExitNoJob;
  }
  if (!session.PressStart()) {
    std::fprintf(stderr, "vek-cli: no job was started\n");
    return vekcli::kExitNoJob;
  }
  // The job, until the worker has ended (or the cable was pulled).
  loop.RunUntil([&] { return !session.JobRunning(); }, Clock::time_point::max());
  return ExitStatusOfJob();
}

// With --verbose: how much of the run was the program's own fixed pauses.
void ReportFixedWaits(Clock::time_point start) {
  const double total = std::chrono::duration<double>(Clock::now() - start).count();
  const double fixed = std::chrono::duration<double>(vek::FixedWaitTotal()).count();
  std::fprintf(stderr, "vek-cli: fixed waits: %.1f s of %.1f s\n", fixed, total);
}

}  // namespace

int main(int argc, char** argv) {
  const Clock::time_point start = Clock::now();
  vekcli::CliOptions options;
  if (auto status = vekcli::ParseCliOptions(argc, argv, options)) return *status;
  vek::SingleInstance instance;
  if (!instance.acquired()) {
    std::fprintf(stderr, "VEK: %s\n", vek::kAlreadyRunningText);
    return 0;
  }
  const int status = Run(options);
  if (options.verbose) ReportFixedWaits(start);
  return status;
}
