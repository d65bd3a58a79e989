// What the desktop window and vek-cli share: the records set up at start-up,
// the device search, the port events, the start button and the download worker.
// A front end supplies its handlers (run on its own "window" thread) and a way
// to post work to that thread; everything else happens here, once.
#pragma once

#include <memory>
#include <string>

#include "device/device_monitor.h"
#include "device/port_watcher.h"
#include "upgrade/window_proxy.h"
#include "upgrade/worker_thread.h"

namespace vek {

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
  bool Searching() const;
  // Stops the port watch and the connect task and closes the port (window close).
  void Shutdown();

  // Notifications delivered to the window's thread with their agreed delivery.
  WindowNotifications& window() { return proxy_; }
  DeviceMonitor& monitor() { return monitor_; }

 private:
  WindowProxy proxy_;
  WindowProxy::Post post_;
  WorkerThread download_worker_;
  DeviceMonitor monitor_;
  std::unique_ptr<PortWatcher> watcher_;
  bool tracing_ = false;  // this session opened the protocol trace
};

}  // namespace vek
