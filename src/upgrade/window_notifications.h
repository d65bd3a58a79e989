// How the device-connect task and the download worker reach the window.
//
// Both front ends (the desktop window and vek-cli) implement this interface.
// A "sent" notification returns only after the window's thread has handled it;
// a "posted" one returns at once. The window's thread never waits for a task.
#pragma once

#include <cstdint>
#include <string>

namespace vek {

enum class Delivery {
  kSent,          // the sender waits until the window has handled it
  kPosted,        // queued; the sender goes on
  kWindowThread,  // raised on the window's own thread
};

inline constexpr uint32_t WM_USER = 0x0400;

struct NotificationContract {
  const char* name;
  uint32_t number;
  Delivery delivery;
};

inline constexpr NotificationContract kNotificationContracts[] = {
    {"WM_SHOW_PROGRESS", WM_USER + 100, Delivery::kSent},
    {"WM_SHOW_STATUS", WM_USER + 101, Delivery::kSent},
    {"WM_SHOW_DIAG_PORT", WM_USER + 102, Delivery::kSent},
    {"WM_MATCH_PRODUCT", WM_USER + 103, Delivery::kSent},
    {"WM_SET_CONTROLS", WM_USER + 104, Delivery::kPosted},
    {"WM_SHOW_IMEI", WM_USER + 105, Delivery::kSent},
    {"WM_SHOW_SW_VERSION", WM_USER + 106, Delivery::kSent},
    {"WM_SHOW_FLASH", WM_USER + 107, Delivery::kSent},
    {"WM_DOWNLOAD_ABORTED", WM_USER + 110, Delivery::kWindowThread},
    {"WM_CHECK_RESTORE_DEFAULT", WM_USER + 111, Delivery::kSent},
    {"WM_ENABLE_RESTORE_DEFAULT", WM_USER + 112, Delivery::kSent},
};

// Control states of WM_SET_CONTROLS.
inline constexpr int kControlsSearching = 0;  // the connect task runs: start, folder, Browse, "Restore default" disabled
inline constexpr int kControlsReady = 1;      // a module is ready: those controls enabled
inline constexpr int kControlsDownloadMode = 2;  // follows state 1: "Restore default" unticked, disabled

class WindowNotifications {
 public:
  virtual ~WindowNotifications() = default;

  virtual void ShowProgress(uint32_t done, int32_t total) = 0;           // WM_SHOW_PROGRESS
  virtual void ShowStatus(const std::string& text) = 0;                  // WM_SHOW_STATUS
  virtual void ShowDiagPort(uint32_t port) = 0;                          // WM_SHOW_DIAG_PORT
  virtual void MatchProduct(const std::string& identification) = 0;      // WM_MATCH_PRODUCT
  virtual void SetControls(int state) = 0;                               // WM_SET_CONTROLS
  virtual void ShowImei(const std::string& text) = 0;                    // WM_SHOW_IMEI
  virtual void ShowSwVersion(const std::string& text) = 0;               // WM_SHOW_SW_VERSION
  virtual void ShowFlash(const std::string& text) = 0;                   // WM_SHOW_FLASH
  virtual void DownloadAborted() = 0;                                    // WM_DOWNLOAD_ABORTED
  virtual void CheckRestoreDefault(bool checked) = 0;                    // WM_CHECK_RESTORE_DEFAULT
  virtual void EnableRestoreDefault(bool enabled) = 0;                   // WM_ENABLE_RESTORE_DEFAULT

  // A modal message box shown by the window's thread; blocks the calling thread
  // only. Returns 1 for OK, 0 for Cancel or a closed box.
  virtual int ShowMessage(int kind, const std::string& text, const std::string& caption) = 0;

  // What the download worker and the start button read from and do to the
  // window's controls (answered on the window's thread, like a sent notification).
  virtual std::string ImagePathText() { return {}; }
  virtual bool RestoreDefaultTicked() { return false; }
  // The Product list's selected position, or -1 when nothing is selected.
  virtual int SelectedProductPosition() { return -1; }
  // Start: the ImagePath field, both lists, "Browse...", "start" and "Restore default" disabled.
  virtual void DisableJobControls() {}
  // End of a job: the same controls enabled again; "Restore default" only when allowed.
  virtual void EnableJobControls(bool restore_default_enabled) {}
  // The connect task found a complete image folder: it goes into the ImagePath field.
  virtual void SetImagePathText(const std::string& path) {}
  // A new search: both lists emptied, bar at 0, ImagePath cleared, labels back to
  // "SW version:", "IMEI:" and an empty flash label.
  virtual void ClearDeviceControls() {}
};

}  // namespace vek
