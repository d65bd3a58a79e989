// The two process-wide records of an upgrade: the operator's job and what is
// known about the attached module. The window's thread, the device-connect task
// and the download worker share them; every field is an atomic or a guarded text.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "records/shared_text.h"
#include "records/target_mode.h"

namespace vek {

enum Platform : uint32_t {
  PLATFORM_6270 = 0,
  PLATFORM_6280_PBL = 1,
  PLATFORM_6280 = 2,
  PLATFORM_60X5 = 3,
  PLATFORM_NONE = 4,  // no product chosen
};

enum Stage : int32_t {
  STAGE_IDLE = 0,
  STAGE_BACKUP = 1,   // a vanished diagnostic port aborts the job
  STAGE_RESTORE = 2,  // aborts
  STAGE_SWITCH = 3,   // the port is expected to vanish: a mode switch or reset
  STAGE_IMAGES = 4,   // aborts
};

// The four reporting callbacks through which every lower layer reaches the operator.
// show_status: status line (formatted into 300 bytes) and debug output; synchronous.
using ShowStatusFn = int (*)(const char* format, ...);
// show_message: kind 1 OK box, kind 2 OK/Cancel (1 for OK, else 0), other kinds show nothing and return 0.
using ShowMessageFn = int (*)(int kind, const char* text, const char* caption);
// show_progress: done * 100 / total percent, truncated; synchronous.
using ShowProgressFn = int (*)(uint32_t done, int32_t total);
// write_log: one entry of the log file (formatted into 200 bytes).
using WriteLogFn = int (*)(const char* format, ...);

inline constexpr size_t kImagePathCapacity = 260;

struct UpgradeJob {
  std::atomic<int32_t> download_mode{0};
  std::atomic<int32_t> restore_enable{0};
  std::atomic<int32_t> backup_enable{0};
  std::atomic<int32_t> restore_default{0};
  std::atomic<int32_t> erase_efs{0};
  std::atomic<int32_t> download_enable{0};
  // A module found in a download mode gets its newest kept NV backup back.
  std::atomic<int32_t> restore_vault{0};
  // NV requests in flight at once in the backup and the restore: 1 ... 16, or
  // 0 for a window that finds its own size (--nv-window auto).
  std::atomic<int32_t> nv_window{1};
  std::atomic<uint32_t> target_state{0};
  std::atomic<uint32_t> platform{0};
  SharedText<kImagePathCapacity> image_path;
  std::atomic<int32_t> stage{0};
  // Installed before any task starts and not changed while one runs.
  ShowStatusFn show_status = nullptr;
  ShowMessageFn show_message = nullptr;
  ShowProgressFn show_progress = nullptr;
  WriteLogFn write_log = nullptr;
};

struct DeviceInfo {
  std::atomic<int32_t> download_status{0};
  std::atomic<int32_t> connecting{0};
  std::atomic<uint32_t> diag_port{0};
  std::atomic<uint32_t> at_port{0};
  std::atomic<uint32_t> nmea_port{0};
  // Where the module is plugged in ("1-2.3"), from its diagnostic port; empty when
  // unknown. Its ports keep this path whatever numbers they return under.
  SharedText<32> usb_path;
  std::atomic<int32_t> ids_valid{0};
  std::atomic<int32_t> product_m{0};
  std::atomic<int32_t> product_d{0};
  SharedText<20> imei;
  SharedText<50> sw_version;
  SharedText<50> new_sw_version;
  std::atomic<int32_t> special_model{0};
};

// The one job record and the one device record of the process.
UpgradeJob& TheJob();
DeviceInfo& TheDevice();

// Reset values, used at start-up and whenever the search starts over with a new device.
// `working_directory` becomes the image folder (cut to 259 characters).
void ResetForNewDevice(UpgradeJob& job, DeviceInfo& device, const std::string& working_directory);

// The choices at start-up: download, backup and restore on, EFS erase and "Restore default" off.
void SetInitialChoices(UpgradeJob& job);

// What the worker's end resets: no job, no connection, mode unknown.
void ResetAfterJob(UpgradeJob& job, DeviceInfo& device);

// The current working directory ("." when it cannot be read).
std::string CurrentDirectory();

}  // namespace vek
