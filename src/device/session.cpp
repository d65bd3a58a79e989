#include "device/session.h"

#include "app/launch_options.h"
#include "app/log_file.h"
#include "images/product_catalogue.h"
#include "link/open_failure.h"
#include "link/serial_port.h"
#include "records/job_records.h"
#include "records/protocol_trace.h"
#include "records/reporting.h"
#include "upgrade/start_button.h"

namespace vek {

Session::Session(WindowNotifications& handlers, WindowProxy::Post post, WindowProxy::OnWindowThread on_window_thread)
    : proxy_(handlers, post, std::move(on_window_thread)), post_(std::move(post)), monitor_(proxy_, download_worker_) {}

Session::~Session() { Shutdown(); }

void Session::Initialise(const std::string& image_folder, const std::string& trace_file) {
  const std::string trace_path = ChooseTracePath(trace_file);
  if (!trace_path.empty()) tracing_ = StartProtocolTrace(trace_path);
  UpgradeJob& job = TheJob();
  DeviceInfo& device = TheDevice();
  InstallStandardCallbacks(job);
  SetWindowNotifications(&proxy_);
  SetJobFactsObserver(&proxy_);
  // Why a port would not open goes into the job's log too.
  SetOpenFailureLog([](const std::string& entry) {
    if (const WriteLogFn write_log = TheJob().write_log) write_log("%s", entry.c_str());
  });
  OpenLogFile();
  SetInitialChoices(job);
  ResetForNewDevice(job, device, CurrentDirectory());
  LoadProductCatalogue();
  LoadLaunchOptions();
  if (!image_folder.empty()) job.image_path.Set(image_folder);
}

void Session::StartDeviceSearch(EventSource events) {
  monitor_.StartSearch();
  watcher_ = std::make_unique<PortWatcher>(
      [this](PortEvent event, const std::string& name) { post_([this, event, name] { OnPortEvent(event, name); }); },
      events);
  watcher_->Start();
}

bool Session::PressStart() { return vek::PressStart(proxy_, download_worker_, Vault()); }

void Session::OnPortEvent(PortEvent event, const std::string& port_name) { monitor_.OnPortEvent(event, port_name); }

bool Session::Searching() const { return TheDevice().connecting != 0 || monitor_.connect_task().Running(); }

void Session::Shutdown() {
  if (watcher_) watcher_->Stop();
  monitor_.StopSearch();
  download_worker_.RequestStop();
  download_worker_.Join();
  CloseDiagPort();
  SetWindowNotifications(nullptr);
  SetJobFactsObserver(nullptr);
  SetOpenFailureLog(nullptr);
  if (tracing_) StopProtocolTrace();
  tracing_ = false;
}

}  // namespace vek
