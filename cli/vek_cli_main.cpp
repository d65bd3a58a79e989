// vek-cli: one device connection and, when the module is ready, one upgrade job,
// exactly as pressing "start" once in the desktop program; then it exits.
//
// Exit status: 0 the upgrade succeeded; 1 a job ran and failed (or was aborted);
// 2 usage error; 3 no job ran (time-out, image folder incomplete, download mode
// without a product, more than one module, no image folder, another VEK or
// another vek-cli on the same module running, the --module port absent or of
// no known USB port path).
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "cli/cli_options.h"
#include "cli/cli_window.h"
#include "cli/event_loop.h"
#include "device/session.h"

namespace {

using Clock = std::chrono::steady_clock;
using vek::Session;

// In a download mode the module cannot name its product: the operator's
// --product does, as choosing it in the window's Product list would, and the
// image folder is checked again for that product's platform.
bool ChooseProductInDownloadMode(const vekcli::CliOptions& options, vekcli::CliWindow& window) {
  const std::optional<std::string> folder = Session::ChooseProductAndFolder(options.product);
  if (!folder) return false;
  window.SetImagePathText(*folder);
  return true;
}

int ExitStatusOfJob() {
  switch (Session::LastJobOutcome()) {
    case vek::JobOutcome::kSucceeded: return vekcli::kExitSuccess;
    case vek::JobOutcome::kNoJob: return vekcli::kExitNoJob;
    default: return vekcli::kExitJobFailed;
  }
}

int Run(const vekcli::CliOptions& options) {
  vek::SendDebugOutputToStandardError(options.verbose);
  vek::SendConsoleToStandardError();  // standard output carries the status texts only
  const std::string images =
      options.images.empty() ? std::string() : std::filesystem::absolute(options.images).lexically_normal().string();

  vekcli::EventLoop loop;
  vekcli::CliWindow window(options, images.empty() ? Session::WorkingDirectory() : images);
  Session session(
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
  const bool download_mode = Session::FoundInDownloadMode();
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
  const double fixed = std::chrono::duration<double>(Session::FixedWaitTotal()).count();
  std::fprintf(stderr, "vek-cli: fixed waits: %.1f s of %.1f s\n", fixed, total);
}

// --module: the module's USB port path, or the exit status when there is none.
std::optional<int> ChooseModule(const std::string& where, std::string& usb_path) {
  const vek::ModuleChoice choice = vek::ChooseModule(where);
  switch (choice.result) {
    case vek::ModuleChoice::Result::kChosen:
      usb_path = choice.usb_path;
      return std::nullopt;
    case vek::ModuleChoice::Result::kNoSuchPort:
      std::fprintf(stderr, "vek-cli: no port %s is present, so its module is unknown; no job was started\n",
                   where.c_str());
      return vekcli::kExitNoJob;
    case vek::ModuleChoice::Result::kNoUsbPath:
      std::fprintf(stderr, "vek-cli: where the module of %s is plugged in is unknown; name its USB port path; "
                   "no job was started\n", where.c_str());
      return vekcli::kExitNoJob;
    default:
      std::fprintf(stderr, "vek-cli: --module expects a USB port path or a COM port, not %s\n", where.c_str());
      return vekcli::kExitUsage;
  }
}

// Says why the lock was refused.
void ReportRefusal(const vek::InstanceLock& lock, const std::string& module) {
  switch (lock.refusal()) {
    case vek::InstanceLock::Refusal::kModuleTaken:
      std::fprintf(stderr, "vek-cli: another vek-cli works on module %s; no job was started\n", module.c_str());
      break;
    case vek::InstanceLock::Refusal::kUnavailable:
      std::fprintf(stderr, "vek-cli: the lock file %s cannot be used; no job was started\n",
                   lock.refused_path().c_str());
      break;
    default:
      if (module.empty()) {
        std::fprintf(stderr, "VEK: %s\n", vek::InstanceLock::AlreadyRunningText());
      } else {
        std::fprintf(stderr, "vek-cli: %s for every module (the desktop program or vek-cli without --module); "
                     "no job was started\n", vek::InstanceLock::AlreadyRunningText());
      }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Clock::time_point start = Clock::now();
  vekcli::CliOptions options;
  if (auto status = vekcli::ParseCliOptions(argc, argv, options)) return *status;
  vek::ChoosePortSource(options.port_map.empty() ? std::string() : std::filesystem::absolute(options.port_map).string());
  std::string module;  // its USB port path
  if (!options.module.empty())
    if (auto status = ChooseModule(options.module, module)) return *status;
  const vek::InstanceLock instance(module);
  if (!instance.held()) {
    ReportRefusal(instance, module);
    return vekcli::kExitNoJob;
  }
  const int status = Run(options);
  if (options.verbose) ReportFixedWaits(start);
  return status;
}
