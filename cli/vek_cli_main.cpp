// vek-cli: one device connection and, when the module is ready, one upgrade job,
// exactly as pressing "start" once in the desktop program; then it exits.
//
// Exit status: 0 the upgrade succeeded; 1 a job ran and failed (or was aborted,
// also by SIGINT or SIGTERM); 2 usage error; 3 no job ran (time-out, image folder
// incomplete, download mode without a product, more than one module, no image
// folder, stopped by a signal before the job began, another VEK or another
// vek-cli on the same module running, the --module port absent or of no known
// USB port path).
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "cli/cli_options.h"
#include "cli/cli_window.h"
#include "cli/event_loop.h"
#include "cli/job_events.h"
#include "device/session.h"
#include "events/exit_status.h"

namespace {

using Clock = std::chrono::steady_clock;
using vek::Session;

// How the run ended, for the exit status and the event stream's last event.
struct RunEnd {
  vek::JobResult result;  // the job's, as its facts tell it, or kNoJob when none ran
  std::string text;       // what failed, in the words standard error got; empty: the job's own
};

// In a download mode the module cannot name its product: the operator's
// --product does, as choosing it in the window's Product list would, and the
// image folder is checked again for that product's platform.
bool ChooseProductInDownloadMode(const vekcli::CliOptions& options, vekcli::CliWindow& window) {
  const std::optional<std::string> folder = Session::ChooseProductAndFolder(options.product);
  if (!folder) return false;
  window.SetImagePathText(*folder);
  return true;
}

RunEnd NoJob(const std::string& text) {
  std::fprintf(stderr, "vek-cli: %s\n", text.c_str());
  return {vek::JobResult::kNoJob, text};
}

// The first SIGINT or SIGTERM: the job stops through its stop request (or the
// wait for a module ends); a second one ends the process at once.
void OnStopSignal(Session& session, int signal, int& stopped_by) {
  if (stopped_by != 0) return;
  stopped_by = signal;
  vekcli::EndAtOnceOnNextStopSignal();
  std::fprintf(stderr, "vek-cli: %s: stopping\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
  const vek::JobStop stop = session.StopJob();
  if (stop.stopped && stop.waiting_in != nullptr) {
    std::fprintf(stderr,
                 "vek-cli: stopped while the module's flash was being written: the module waits in its %s, and the "
                 "next run of vek-cli (with --product) finishes the download\n",
                 stop.waiting_in);
  }
}

// How the run ended, into the job's facts and from them the event stream's last events.
// The result is told once the job's row is written; the line's database never
// delays it: what shipping came to follows it, in the record told again. The
// records keep their own thread, and a warning of theirs may wait for `loop`
// (none: no window to wait for).
void ReportEnd(vekcli::JobEvents& events, vek::JobResult result, std::string text, int status, int stopped_by,
               vekcli::EventLoop* loop = nullptr) {
  Session::EndJob({result, std::move(text), status, stopped_by});
  const auto deadline = Clock::now() + Session::RecordsDrainLimit();
  const auto await = [&](bool written_only) {
    if (loop == nullptr) return Session::AwaitRecords(deadline, written_only);
    return loop->RunUntil([written_only] { return written_only ? Session::RecordsWritten() : Session::RecordsKept(); },
                          deadline);
  };
  await(true);
  events.Result(Session::Facts());
  await(false);
  events.Shipped(Session::Facts());
}

// The exit status follows the run's result; a stop signal makes any end but a
// success read "aborted", and keeps the status (3 when no job had started yet).
int ReportEnd(vekcli::JobEvents& events, const RunEnd& end, int stopped_by, vekcli::EventLoop& loop) {
  using vek::JobResult;
  const int status = vekevents::ExitStatusOf(end.result);
  const JobResult result = end.result == JobResult::kSucceeded ? JobResult::kSucceeded
                           : stopped_by != 0                   ? JobResult::kAborted
                           : end.result == JobResult::kNoJob   ? JobResult::kNoJob
                                                               : JobResult::kFailed;
  std::string text = end.text;
  if (text.empty() && result == JobResult::kSucceeded) text = Session::JobResultText();
  if (text.empty() && stopped_by != 0) text = "aborted";
  if (text.empty()) text = events.last_status();
  ReportEnd(events, result, std::move(text), status, stopped_by, &loop);
  return status;
}

// The run, from the device search to the job's end; its exit status.
int Run(const vekcli::CliOptions& options, vekcli::JobEvents& events, int& stopped_by) {
  vekcli::EventLoop loop;
  Session* running = nullptr;
  // Before any thread starts, so that every thread leaves the signals to the loop.
  loop.CatchStopSignals([&](int signal) {
    if (running != nullptr) OnStopSignal(*running, signal, stopped_by);
  });
  vek::SendDebugOutputToStandardError(options.verbose);
  vek::SendConsoleToStandardError();  // standard output carries the status texts only
  const std::string images =
      options.images.empty() ? std::string() : std::filesystem::absolute(options.images).lexically_normal().string();

  vekcli::CliWindow window(options, images.empty() ? Session::WorkingDirectory() : images, events);
  Session session(
      window, [&loop](std::function<void()> work) { loop.Post(std::move(work)); },
      [&loop] { return loop.OnLoopThread(); });
  running = &session;
  session.Initialise(images, options.trace);
  session.StartDeviceSearch();
  // The job's end is told while the Session stands, so that its record's
  // warning still reaches the status line and "vek.log".
  const RunEnd end = [&]() -> RunEnd {
    // The device connection: until the connect task has finished.
    const bool connected = loop.RunUntil([&] { return !session.Searching() || stopped_by != 0; },
                                         vekcli::DeadlineOf(options, Clock::now()));
    if (stopped_by != 0) return NoJob("stopped before a job was started");
    if (!connected) {
      char text[80];
      std::snprintf(text, sizeof text, "no module was ready within %g seconds", *options.timeout_seconds);
      return NoJob(text);
    }
    loop.RunUntil([] { return true; }, Clock::now());  // what the task posted last
    // Without --product, the start button refuses a module in a download mode.
    const bool download_mode = Session::FoundInDownloadMode();
    if (download_mode && !options.product.empty()) {
      if (!ChooseProductInDownloadMode(options, window))
        return NoJob("the image folder is incomplete for " + options.product + "; no job was started");
    }
    if (!download_mode && !window.image_folder_ready()) return NoJob("the image folder is incomplete; no job was started");
    if (stopped_by != 0) return NoJob("stopped before a job was started");
    if (!session.PressStart()) return NoJob("no job was started");
    // The job, until the worker has ended (or the cable was pulled, or a signal stopped it).
    loop.RunUntil([&] { return !session.JobRunning(); }, Clock::time_point::max());
    return {Session::Facts().end.result, {}};
  }();
  return ReportEnd(events, end, stopped_by, loop);
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
      return vekevents::kExitNoJob;
    case vek::ModuleChoice::Result::kNoUsbPath:
      std::fprintf(stderr, "vek-cli: where the module of %s is plugged in is unknown; name its USB port path; "
                   "no job was started\n", where.c_str());
      return vekevents::kExitNoJob;
    default:
      std::fprintf(stderr, "vek-cli: --module expects a USB port path or a COM port, not %s\n", where.c_str());
      return vekevents::kExitUsage;
  }
}

// Says why the lock was refused; returns the reason for the event stream.
std::string ReportRefusal(const vek::InstanceLock& lock, const std::string& module) {
  std::string reason;
  switch (lock.refusal()) {
    case vek::InstanceLock::Refusal::kModuleTaken:
      reason = "another vek-cli works on module " + module + "; no job was started";
      break;
    case vek::InstanceLock::Refusal::kUnavailable:
      reason = "the lock file " + lock.refused_path() + " cannot be used; no job was started";
      break;
    default:
      if (module.empty()) {
        std::fprintf(stderr, "VEK: %s\n", vek::InstanceLock::AlreadyRunningText());
        return vek::InstanceLock::AlreadyRunningText();
      }
      reason = std::string(vek::InstanceLock::AlreadyRunningText()) +
               " for every module (the desktop program or vek-cli without --module); no job was started";
  }
  std::fprintf(stderr, "vek-cli: %s\n", reason.c_str());
  return reason;
}

}  // namespace

int main(int argc, char** argv) {
  const Clock::time_point start = Clock::now();
  vekcli::CliOptions options;
  if (auto status = vekcli::ParseCliOptions(argc, argv, options)) return *status;
  vek::KeepFilesPrivate();
  std::unique_ptr<vekevents::EventStream> stream;
  if (!options.events.empty()) {
    std::string error;
    stream = vekevents::EventStream::Open(options.events, start, error);
    if (!stream) {
      std::fprintf(stderr, "vek-cli: %s\n", error.c_str());
      return vekevents::kExitUsage;
    }
  }
  vekcli::JobEvents events(std::move(stream));
  events.Start();
  // vek-cli tells every job's end itself (EndJob): its row ships after that.
  Session::KeepStationRecord(Session::StationDbPath(options.station_db, options.no_station_db), "vek-cli",
                             Session::LineDbUrl(options.line_db), true);
  // However main returns, the records' thread ends before the exit handlers run.
  const struct RecordsClosed {
    ~RecordsClosed() { Session::CloseStationRecord(); }
  } records_closed;
  Session::RestoreFromVault(options.restore_from_vault);
  Session::NvWindow(options.nv_window);
  vek::ChoosePortSource(options.port_map.empty() ? std::string() : std::filesystem::absolute(options.port_map).string());
  std::string module;  // its USB port path
  if (!options.module.empty()) {
    if (auto status = ChooseModule(options.module, module)) {
      ReportEnd(events, vek::JobResult::kNoJob, "--module " + options.module + ": no such module", *status, 0);
      return *status;
    }
  }
  const vek::InstanceLock instance(module);
  if (!instance.held()) {
    ReportEnd(events, vek::JobResult::kNoJob, ReportRefusal(instance, module), vekevents::kExitNoJob, 0);
    return vekevents::kExitNoJob;
  }
  int stopped_by = 0;
  const int status = Run(options, events, stopped_by);
  if (options.verbose) ReportFixedWaits(start);
  return status;
}
