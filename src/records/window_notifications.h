// How the device-connect task and the download worker reach the window.
//
// Both front ends (the desktop window and vek-cli) implement this interface.
// A "sent" notification returns only after the window's thread has handled it;
// a "posted" one returns at once. The window's thread never waits for a task.
#pragma once

#include <cstdint>
#include <string>

#include "records/job_facts.h"

namespace vek {

// Control states of WM_SET_CONTROLS (their numbers are the message's parameter).
enum class ControlState {
  kSearching = 0,     // the connect task runs: start, folder, Browse, "Restore default" disabled
  kReady = 1,         // a module is ready: those controls enabled
  kDownloadMode = 2,  // follows kReady: "Restore default" unticked, disabled
};

// The kinds of ShowMessage's box.
inline constexpr int kMessageOk = 1;        // kind 1: one OK button
inline constexpr int kMessageOkCancel = 2;  // kind 2: OK and Cancel

// Each notification keeps the name and number of the window message it stands for
// (numbered from WM_USER, 0x0400); "sent" or "posted" says how WindowProxy delivers it.
class WindowNotifications {
 public:
  virtual ~WindowNotifications() = default;

  virtual void ShowProgress(uint32_t done, int32_t total) = 0;           // WM_SHOW_PROGRESS, +100, sent
  virtual void ShowStatus(const std::string& text) = 0;                  // WM_SHOW_STATUS, +101, sent
  virtual void ShowDiagPort(uint32_t port) = 0;                          // WM_SHOW_DIAG_PORT, +102, sent
  virtual void MatchProduct(const std::string& identification) = 0;      // WM_MATCH_PRODUCT, +103, sent
  virtual void SetControls(ControlState state) = 0;                      // WM_SET_CONTROLS, +104, posted
  virtual void ShowImei(const std::string& text) = 0;                    // WM_SHOW_IMEI, +105, sent
  virtual void ShowSwVersion(const std::string& text) = 0;               // WM_SHOW_SW_VERSION, +106, sent
  virtual void ShowFlash(const std::string& text) = 0;                   // WM_SHOW_FLASH, +107, sent
  virtual void DownloadAborted() = 0;                                    // WM_DOWNLOAD_ABORTED, +110, raised on the window thread
  virtual void CheckRestoreDefault(bool checked) = 0;                    // WM_CHECK_RESTORE_DEFAULT, +111, sent
  virtual void EnableRestoreDefault(bool enabled) = 0;                   // WM_ENABLE_RESTORE_DEFAULT, +112, sent

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
  // The job's facts changed (typed, beside the texts); sent.
  virtual void JobFactsChanged(const JobFacts& facts, JobFactsChange change) {}
};

}  // namespace vek
