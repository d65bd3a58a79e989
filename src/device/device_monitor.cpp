#include "device/device_monitor.h"

#include "device/device_connect_task.h"
#include "link/com_port_name.h"
#include "link/serial_port.h"
#include "records/job_facts.h"
#include "records/job_records.h"
#include "records/reporting.h"
#include "upgrade/download_worker.h"

namespace vek {

void DeviceMonitor::StartSearch() {
  connect_task_.Start([this] { return DeviceConnectTask(window_); });
}

void DeviceMonitor::OnPortEvent(PortEvent event, const std::string& port_name) {
  DebugTrace("%s %s", event == PortEvent::kArrival ? "DBT_DEVICEARRIVAL" : "DBT_DEVICEREMOVECOMPLETE",
             port_name.c_str());
  DeviceInfo& device = TheDevice();
  // A job just started has not yet set download_status: its worker running is
  // enough, or the search would forget the product the operator chose for it.
  if (device.download_status != 1 && device.connecting != 1 && !connect_task_.Running() &&
      !download_worker_.Running() && DigitsOfName(port_name) == device.diag_port) {
    RestartDeviceSearch();
  }
  if (event == PortEvent::kRemoval) HandlePortRemoval(port_name);
}

void DeviceMonitor::RestartDeviceSearch() {
  CloseDiagPort();
  ResetForNewDevice(TheJob(), TheDevice(), CurrentDirectory());
  ForgetModule();
  window_.ClearDeviceControls();
  StartSearch();
}

bool DeviceMonitor::HandlePortRemoval(const std::string& port_name) {
  UpgradeJob& job = TheJob();
  DeviceInfo& device = TheDevice();
  const auto number = ComNumberOfPortName(port_name);
  if (!number || *number != device.diag_port) return false;
  const int32_t stage = job.stage;
  if (stage != STAGE_BACKUP && stage != STAGE_RESTORE && stage != STAGE_IMAGES) return false;
  // Every wait of the worker honours the stop request, and a stopped worker no
  // longer waits for this thread, so waiting for it here cannot deadlock.
  download_worker_.RequestStop();
  download_worker_.Join();
  FailStep("usb cable has been removed!", true);
  NoteEngineJobEnd(JobResult::kFailed);
  // Logged before the log is closed, so the reason reaches "vek.log".
  job.write_log("usb cable has been removed!");
  CloseJob();
  job.show_status("download failed!");
  job.show_message(1, "usb cable has been removed!", "Error");
  device.download_status = 0;
  device.connecting = 0;
  window_.DownloadAborted();
  return true;
}

void DeviceMonitor::StopSearch() {
  connect_task_.RequestStop();
  connect_task_.Join();
}

}  // namespace vek
