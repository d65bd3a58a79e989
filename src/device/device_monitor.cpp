#include "device/device_monitor.h"

#include "device/device_connect_task.h"
#include "link/serial_port.h"
#include "upgrade/download_worker.h"
#include "upgrade/job_records.h"
#include "upgrade/reporting.h"

namespace vek {

uint32_t DigitsOfName(std::string_view name) {
  uint32_t value = 0;
  int digits = 0;
  for (char c : name) {
    if (c < '0' || c > '9') continue;
    if (digits == 9) break;
    value = value * 10 + static_cast<uint32_t>(c - '0');
    ++digits;
  }
  return value;
}

namespace {

// "COM<digits>": the number after the first "COM"; nothing without "COM" or digits.
bool NumberAfterCom(std::string_view name, uint32_t& number) {
  const auto com = name.find("COM");
  if (com == std::string_view::npos) return false;
  uint32_t value = 0;
  int digits = 0;
  for (char c : name.substr(com + 3)) {
    if (c < '0' || c > '9' || digits == 9) break;
    value = value * 10 + static_cast<uint32_t>(c - '0');
    ++digits;
  }
  if (digits == 0) return false;
  number = value;
  return true;
}

}  // namespace

void DeviceMonitor::StartSearch() {
  connect_task_.Start([this] { return DeviceConnectTask(window_); });
}

void DeviceMonitor::OnPortEvent(PortEvent event, const std::string& port_name) {
  DebugTrace("%s %s", event == PortEvent::kArrival ? "DBT_DEVICEARRIVAL" : "DBT_DEVICEREMOVECOMPLETE",
             port_name.c_str());
  DeviceInfo& device = TheDevice();
  if (device.download_status != 1 && device.connecting != 1 && !connect_task_.Running() &&
      DigitsOfName(port_name) == device.diag_port) {
    RestartDeviceSearch();
  }
  if (event == PortEvent::kRemoval) HandlePortRemoval(port_name);
}

void DeviceMonitor::RestartDeviceSearch() {
  CloseDiagPort();
  ResetForNewDevice(TheJob(), TheDevice(), CurrentDirectory());
  window_.ClearDeviceControls();
  StartSearch();
}

bool DeviceMonitor::HandlePortRemoval(const std::string& port_name) {
  UpgradeJob& job = TheJob();
  DeviceInfo& device = TheDevice();
  uint32_t number = 0;
  if (!NumberAfterCom(port_name, number) || number != device.diag_port) return false;
  const int32_t stage = job.stage;
  if (stage != STAGE_BACKUP && stage != STAGE_RESTORE && stage != STAGE_IMAGES) return false;
  // Every wait of the worker honours the stop request, and a stopped worker no
  // longer waits for this thread, so waiting for it here cannot deadlock.
  download_worker_.RequestStop();
  download_worker_.Join();
  SetJobOutcome(JobOutcome::kFailed);
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
