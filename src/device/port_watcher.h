// Turns changes of the present ports into arrival and removal events, by port
// name ("COM7"). Successive listings of the port source are compared; for the
// port-map file the listing is redone whenever the file's folder changes
// (inotify), and at least every 500 ms as a fallback.
#pragma once

#include <functional>
#include <set>
#include <string>

#include "device/device_monitor.h"
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
  explicit PortWatcher(Handler handler) : handler_(std::move(handler)) {}
  ~PortWatcher() { Stop(); }

  void Start();
  void Stop();

 private:
  int Run();
  Handler handler_;
  WorkerThread thread_;
};

}  // namespace vek
