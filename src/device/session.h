// What the desktop window and vek-cli share: the records set up at start-up,
// the device search, the port events, the start button and the download worker.
// A front end supplies its handlers (run on its own "window" thread) and a way
// to post work to that thread; everything else happens here, once.
//
// The front ends (ui/, cli/, vek-probe) reach the engine through this header only:
// the operator's choices, what to show, start-up and the probe are declared here.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/device_monitor.h"
#include "device/port_watcher.h"
#include "records/job_facts.h"
#include "records/job_records.h"
#include "records/product_list.h"
#include "upgrade/window_proxy.h"
#include "upgrade/worker_thread.h"

namespace vek {

class SingleInstance;
class VaultSearch;

// What the operator's stop did (Session::StopJob).
struct JobStop {
  bool stopped = false;  // a job was running and has been stopped
  // The module was left in its flash programmer ("programmer") or its boot loader
  // ("boot loader"), where the next job finds it and finishes the download;
  // nullptr when it runs its firmware.
  const char* waiting_in = nullptr;
};

class Session {
 public:
  Session(WindowNotifications& handlers, WindowProxy::Post post, WindowProxy::OnWindowThread on_window_thread);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // The window's initialisation: records and their defaults, the callbacks,
  // "vek.log", the product catalogue and the launch options from the working
  // directory; `image_folder` (empty: the working directory) becomes the image path.
  // The protocol trace starts first: into `trace_file` (vek-cli's --trace) when
  // given, else into VEK_TRACE's file when that is set; Shutdown closes it.
  void Initialise(const std::string& image_folder, const std::string& trace_file = {});

  // Starts the device-connect task and the watch for port arrivals and removals,
  // which are handed to the window's thread. `events`: where the watch hears of
  // the system's ports coming and going when no port map is in force.
  void StartDeviceSearch(EventSource events = EventSource::kSystem);

  // The start button. False when no job was started.
  bool PressStart();

  // A port event, on the window's thread.
  void OnPortEvent(PortEvent event, const std::string& port_name);

  bool JobRunning() const { return download_worker_.Running(); }
  // The operator's stop (vek-cli on SIGINT or SIGTERM), on the window's thread:
  // the running job ends through its stop request, as a pulled cable ends it;
  // "aborted" is shown and logged, the job fails and the port is closed. A backup
  // cut short keeps the previous "backup.nvb". Nothing when no job runs.
  JobStop StopJob();
  bool Searching() const;
  // Stops the port watch and the connect task and closes the port (window close).
  void Shutdown();

  // The operator's choices and what the window shows. The job and device records
  // are one per process, so these need no Session: a handler may run them while
  // its window's Session is still being made or is being taken down.

  // Product matching: every supported model named in the module's identification
  // text, the first selected, the platform following the last; none logs
  // "Error: this product not be supported!!!" and disables the list.
  static ProductList MatchProduct(std::string_view identification);
  // All supported models in the list's order, none selected (a download mode).
  static ProductList AllProducts();
  // A model's position in the supported list, or -1.
  static int ProductPosition(std::string_view name);
  // The operator chose the product at `position`: the job's platform follows it.
  // False (nothing changes) for a position outside the list.
  static bool ChooseProduct(int position);
  // vek-cli in a download mode: the product named `name`, as choosing it in the
  // window's list would, then the image folder checked for its platform, which
  // shows and logs "please choose image folder!" or "ready to download". The
  // complete folder, or nothing (an unknown name or an incomplete folder).
  static std::optional<std::string> ChooseProductAndFolder(std::string_view name);
  // The image folder the next job reads.
  static void SetImageFolder(const std::string& path);
  // "Restore default" ticked or not.
  static void TickRestoreDefault(bool ticked);
  // A module that keeps its settings allows no "Restore default".
  static bool RestoreDefaultAllowed();
  // The module last answered as the boot loader or the programmer: the operator
  // names the product.
  static bool ModuleInDownloadMode();
  // The device connection found the module in a download mode.
  static bool FoundInDownloadMode();
  // The window heard "download aborted": the module is neither downloading nor connecting.
  static void ForgetAbortedDownload();
  // The working directory, the image folder when none is given ("." when unreadable).
  static std::string WorkingDirectory();
  // How much of the run so far was the program's own fixed pauses.
  static std::chrono::steady_clock::duration FixedWaitTotal();
  // A line of debug output (dropped unless the debug output is on).
  static void DebugTrace(const std::string& text);
  // done * 100 / total in floating point, truncated; 0 for a total that is not positive.
  static int ProgressPercent(uint32_t done, int32_t total);

  // What a front end reports as the job goes: the job's facts as they stand
  // (the window hears of each change through WindowNotifications::JobFactsChanged).
  static JobFacts Facts();
  // The front end's word on how the job ended: its result, text and exit status.
  static void EndJob(JobEnd end);
  // Every job of this process from now on is kept in the station's database at
  // `path` (empty: none is kept). `program` names the front end in its rows.
  // `line` (a libpq connection string; empty: none): the line's database, which
  // gets what the station has not shipped yet after each job.
  // A front end that tells every job's end itself (EndJob) says so: the row
  // ships after its word. The NV vault (--restore-from-vault) looks in the same two.
  static void KeepStationRecord(const std::string& path, const std::string& program, const std::string& line = {},
                                bool front_end_ends_jobs = false);
  // The records are written on a thread of their own: true when everything told
  // so far is written (and shipped). A front end that reports a job's record
  // waits for it after the job's end, running its own loop meanwhile, since a
  // warning of the records may be waiting for it.
  static bool RecordsKept();
  // True once the job's row is written (or kept aside): only shipping to the
  // line's database may still go on. The job's result is told then, never later.
  static bool RecordsWritten();
  // The same, for a front end without a loop: waits, at most until `deadline`
  // (`written_only`: for RecordsWritten).
  static bool AwaitRecords(std::chrono::steady_clock::time_point deadline, bool written_only = false);
  // Longer than the records of a job's end may take with every store at its limit.
  static std::chrono::seconds RecordsDrainLimit();
  // Writes what the records were told (within that limit) and ends their thread.
  // A front end calls it before it returns from main: a thread still running
  // while the process's exit handlers free the libraries' state (libpq's TLS
  // library among them) would outlive what it uses.
  static void CloseStationRecord();
  // --restore-from-vault: for every job from now on, beside "[restore] vault=1".
  static void RestoreFromVault(bool asked);
  // --nv-window ("1" ... "16" or "auto", checked by the front end): for every job
  // from now on, over "[nv] window" of config.ini; empty: that, else 1.
  static void NvWindow(const std::string& asked);
  // Whether `text` is what --nv-window takes: 1 ... 16 or auto.
  static bool IsNvWindow(const std::string& text);
  // --line-db URL, else VEK_LINE_DB, else "[line] database=" of "config.ini".
  static std::string LineDbUrl(const std::string& option);
  // The database a front end's choice names: --station-db FILE, else
  // VEK_STATION_DB, else the user's own; empty with --no-station-db.
  static std::string StationDbPath(const std::string& option, bool disabled);
  // The version report of the last job that made one ("update version X to version Y").
  static std::string JobResultText();

  // Notifications delivered to the window's thread with their agreed delivery.
  WindowNotifications& window() { return proxy_; }
  DeviceMonitor& monitor() { return monitor_; }

 private:
  // Where a job searches for a module's kept NV backup (null: nowhere).
  static const VaultSearch* Vault();

  WindowProxy proxy_;
  WindowProxy::Post post_;
  WorkerThread download_worker_;
  DeviceMonitor monitor_;
  std::unique_ptr<PortWatcher> watcher_;
  bool tracing_ = false;  // this session opened the protocol trace
};

// Start-up of a front end, before its Session.

// The debug output (status copies, debug traces): one line each on standard
// error, or dropped.
void SendDebugOutputToStandardError(bool on);
// Console texts ("Version:...") to standard error: vek-cli keeps standard output
// for the status texts.
void SendConsoleToStandardError();
// The files and folders a job makes (backups, the report, the log, the station
// database) open to nobody but their owner, unless the umask already keeps others out.
void KeepFilesPrivate();
// The ports come from the port-map file `port_map` (empty: VEK_PORT_MAP's, if
// set), else from the system.
void ChoosePortSource(const std::string& port_map);

// vek-cli on one module among several: `where` is the USB port path the module
// is plugged in at ("1-2.3") or "COM<n>", the module that owns that port.
bool IsModuleName(std::string_view where);

struct ModuleChoice {
  enum class Result {
    kChosen,      // from now on only this module's ports are listed
    kMalformed,   // neither a USB port path nor a COM port's name
    kNoSuchPort,  // no present port carries that COM number
    kNoUsbPath,   // the port is there, but where its module is plugged in is unknown
  };
  Result result = Result::kMalformed;
  std::string usb_path;  // kChosen: the module's USB port path
};
// After ChoosePortSource: narrows the ports found, probed, counted, watched and
// opened to one module's. A COM port is resolved to its module's USB port path
// once, here, so the choice holds when the module comes back under other numbers.
ModuleChoice ChooseModule(std::string_view where);

// One VEK (the desktop program or vek-cli) per machine, or one vek-cli per module:
// held until destroyed; the system drops it however the process ends.
class InstanceLock {
 public:
  enum class Refusal {
    kNone,             // held
    kVekRunning,       // another VEK runs (for every module, or, without a module, any VEK)
    kModuleTaken,      // another vek-cli works on this module
    kUnavailable,      // a lock file cannot be opened or is not ours
  };
  // Without a module: the machine-wide lock, taken exclusively. With one (its
  // USB port path, as ChooseModule gives it): the machine-wide lock shared and the
  // module's own lock exclusively, so runs on other modules go on beside it.
  // Taken without waiting.
  explicit InstanceLock(const std::string& module_usb_path = {});
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  // False when refused: the desktop program tells the operator
  // AlreadyRunningText() and exits with 0.
  bool held() const { return refusal_ == Refusal::kNone; }
  Refusal refusal() const { return refusal_; }
  // The lock file that refused (kUnavailable names it to the operator).
  const std::string& refused_path() const { return refused_path_; }
  static const char* AlreadyRunningText();

 private:
  std::unique_ptr<SingleInstance> lock_;
  std::unique_ptr<SingleInstance> module_lock_;
  Refusal refusal_ = Refusal::kNone;
  std::string refused_path_;
};

// vek-factory: the modules plugged in now, one for each USB path that holds a
// "Diagnostics" port, in listing order, with that port's COM number. Modules
// whose ports carry no USB path cannot be told apart and are only counted.
struct PresentModule {
  std::string usb_path;
  uint32_t diag_port = 0;
};
struct PresentModules {
  std::vector<PresentModule> modules;
  size_t without_usb_path = 0;  // "Diagnostics" ports without a USB path
};
PresentModules ListPresentModules();

// vek-probe: which of the module's programs answers on its diagnostic port.
struct DiagProbe {
  enum class Result { kNoDiagPort, kCannotOpen, kProbed };
  Result result = Result::kNoDiagPort;
  uint32_t port = 0;                // the diagnostic port's COM number
  bool answered = false;            // a program answered the probe
  const char* mode_name = nullptr;  // which one (kProbed)
};
// Looks for the "Diagnostics" port among the present ports (the last one listed
// wins), opens it, sends the probe and closes it again.
DiagProbe ProbeDiagPort();

}  // namespace vek
