#include "device/device_connect_task.h"

#include "at/device_identity.h"
#include "at/port_mode_probe.h"
#include "images/image_loader.h"
#include "images/product_catalogue.h"
#include "records/job_records.h"
#include "records/stop_wait.h"
#include "upgrade/port_discovery.h"
#include "upgrade/status_report.h"

namespace vek {
namespace {

constexpr uint32_t kRetryMs = 500;

// The identity over the AT port, else the NMEA port, retried without limit.
bool ConnectAtPort(UpgradeJob& job, DeviceInfo& device) {
  if (ReadDeviceIdentity(device.at_port, 0)) return true;
  for (;;) {
    if (ReadDeviceIdentity(device.nmea_port, 0)) return true;
    job.show_status("can't connect to AT port, maybe it is using!");
    if (!PauseMs(kRetryMs)) return false;
    if (ReadDeviceIdentity(device.at_port, 0)) return true;
  }
}

int Connect(WindowNotifications& window) {
  UpgradeJob& job = TheJob();
  DeviceInfo& device = TheDevice();
  window.SetControls(ControlState::kSearching);

  while (!FindModulePorts()) {
    job.show_status("please plug in USB!");
    if (!PauseMs(kRetryMs)) return 0;
  }
  ShowAndLog(job, "init device...");
  while (!ProbePortMode(device.diag_port, job)) {
    job.show_status("can't connect to diagnostic port, maybe it is using!");
    if (!PauseMs(kRetryMs)) return 0;
  }
  window.ShowDiagPort(device.diag_port);
  job.write_log("connect to diagnostic port success!");

  if (job.target_state == TARGET_DIAG) {
    if (device.at_port == 0 && device.nmea_port == 0) FindModulePorts();
    job.write_log("connecting...");
    if (!ConnectAtPort(job, device)) return 0;
    job.write_log("connect to AT port successfully!");
  } else if (job.target_state != TARGET_UNSPECIFIED) {
    ShowAndLog(job, "device is in download mode, please choose product!");
    job.download_mode = 1;
  }

  ChooseProductFolder(job);
  if (CheckImageSet(job)) {
    ShowAndLog(job, "ready to download");
    window.SetImagePathText(job.image_path.Get());
  } else {
    ShowAndLog(job, "please choose image folder!");
  }
  window.SetControls(ControlState::kReady);
  if (job.download_mode == 1) window.SetControls(ControlState::kDownloadMode);
  return 0;
}

}  // namespace

int DeviceConnectTask(WindowNotifications& window) {
  DeviceInfo& device = TheDevice();
  device.connecting = 1;
  const int result = Connect(window);
  device.connecting = 0;
  return result;
}

}  // namespace vek
