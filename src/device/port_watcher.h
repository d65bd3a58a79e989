// Turns changes of the present ports into arrival and removal events, by port
// name ("COM7"). Successive listings of the port source are compared; the
// listing is redone whenever the port-map file's folder changes (inotify) or,
// without a port map, whenever udev reports a tty event, and at least every
// 500 ms (port map) or 5 s (udev) as a fallback. Without udev events the
// system's ports are listed every 500 ms.
#pragma once

#include <functional>
#include <set>
#include <string>

#include "device/device_monitor.h"
#include "link/udev_monitor.h"
#include "upgrade/worker_thread.h"

namespace vek {

// The "COM<n>" names of the ports present now.
std::set<std::string> PresentPortNames();

// Events that turn `before` into `after`: removals first, then arrivals.
void DiffPortNames(const std::set<std::string>& before, const std::set<std::string>& after,
                   const std::function<void(PortEvent, const std::string&)>& emit);

class PortWatcher {
 public:
  using Handler = std::function<void(PortEvent, const std::string&)>;
  // `handler` runs on the watcher's thread; front ends post the event to the window.
  // `events`: where udev events come from when no port map is in force.
  explicit PortWatcher(Handler handler, EventSource events = EventSource::kSystem)
      : handler_(std::move(handler)), events_(events) {}
  ~PortWatcher() { Stop(); }

  void Start();
  void Stop();

 private:
  int Run();
  Handler handler_;
  EventSource events_;
  WorkerThread thread_;
};

}  // namespace vek
