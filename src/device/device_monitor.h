// The window's side of device monitoring: starts the connect task, restarts the
// search when the module's diagnostic port comes or goes while nothing runs,
// and aborts a job whose port vanishes at a stage where it must not.
// Every method runs on the window's thread.
#pragma once

#include <string>
#include <string_view>

#include "records/window_notifications.h"
#include "upgrade/worker_thread.h"

namespace vek {

enum class PortEvent { kArrival, kRemoval };

class DeviceMonitor {
 public:
  // `window` must deliver to the window's thread (a WindowProxy); `download_worker`
  // is the thread the start button runs jobs on.
  DeviceMonitor(WindowNotifications& window, WorkerThread& download_worker)
      : window_(window), download_worker_(download_worker) {}

  // The first search, when the window has been initialised.
  void StartSearch();
  // A port arrived or was removed (name like "COM7").
  void OnPortEvent(PortEvent event, const std::string& port_name);
  void RestartDeviceSearch();
  // True when the removal aborted a running job.
  bool HandlePortRemoval(const std::string& port_name);
  // Stops the connect task (at window close).
  void StopSearch();

  WorkerThread& connect_task() { return connect_task_; }
  const WorkerThread& connect_task() const { return connect_task_; }

 private:
  WindowNotifications& window_;
  WorkerThread& download_worker_;
  WorkerThread connect_task_;
};

}  // namespace vek
