#include "records/job_records.h"

#include <unistd.h>

#include "records/reporting.h"

namespace vek {

UpgradeJob& TheJob() {
  static UpgradeJob job;
  static const bool callbacks_installed = [] {
    InstallStandardCallbacks(job);
    return true;
  }();
  (void)callbacks_installed;
  return job;
}

DeviceInfo& TheDevice() {
  static DeviceInfo device;
  return device;
}

void ResetForNewDevice(UpgradeJob& job, DeviceInfo& device, const std::string& working_directory) {
  job.download_mode = 0;
  job.target_state = TARGET_UNSPECIFIED;
  job.stage = STAGE_IDLE;
  job.platform = PLATFORM_NONE;
  job.image_path.Set(working_directory);
  device.download_status = 0;
  device.connecting = 0;
  device.diag_port = 0;
  device.at_port = 0;
  device.nmea_port = 0;
  device.usb_path.Clear();
  device.ids_valid = 0;
  device.imei.Clear();
  device.sw_version.Clear();
  device.new_sw_version.Clear();
}

void SetInitialChoices(UpgradeJob& job) {
  job.download_enable = 1;
  job.backup_enable = 1;
  job.restore_enable = 1;
  job.erase_efs = 0;
  job.restore_default = 0;
}

void ResetAfterJob(UpgradeJob& job, DeviceInfo& device) {
  device.download_status = 0;
  device.connecting = 0;
  job.download_mode = 0;
  job.target_state = TARGET_UNSPECIFIED;
}

std::string CurrentDirectory() {
  char buffer[4096];
  if (getcwd(buffer, sizeof buffer) == nullptr) return ".";
  return buffer;
}

}  // namespace vek
