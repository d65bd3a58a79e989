#include "device/port_watcher.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <memory>

#include "link/com_port_name.h"
#include "link/port_source.h"
#include "link/udev_monitor.h"
#include "records/stop_wait.h"

namespace vek {
namespace {

// The fallback intervals: with nothing to wake the watcher, and with udev events.
constexpr uint32_t kRescanMs = 500;
constexpr uint32_t kEventRescanMs = 5000;
// A module brings its ports within a few milliseconds: one listing for the burst.
constexpr uint32_t kSettleMs = 50;

// Watches the folder of the port-map file (a rename replaces the file itself).
int WatchPortMapFolder() {
  const auto map = ActivePortMapPath();
  if (!map) return -1;
  const auto slash = map->rfind('/');
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : map->substr(0, slash));
  const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return -1;
  if (inotify_add_watch(fd, folder.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_CREATE | IN_MOVED_FROM) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void Drain(int fd) {
  char buffer[4096];
  while (read(fd, buffer, sizeof buffer) > 0) {
  }
}

}  // namespace

std::set<std::string> PresentPortNames() {
  std::set<std::string> names;
  for (const PortEntry& entry : ActivePortSource()->ListPorts())
    if (auto number = ComNumberOfName(entry.friendly_name)) names.insert("COM" + std::to_string(*number));
  return names;
}

void DiffPortNames(const std::set<std::string>& before, const std::set<std::string>& after,
                   const std::function<void(PortEvent, const std::string&)>& emit) {
  for (const auto& name : before)
    if (!after.count(name)) emit(PortEvent::kRemoval, name);
  for (const auto& name : after)
    if (!before.count(name)) emit(PortEvent::kArrival, name);
}

void PortWatcher::Start() {
  thread_.Start([this] { return Run(); });
}

void PortWatcher::Stop() {
  thread_.RequestStop();
  thread_.Join();
}

int PortWatcher::Run() {
  const int watch = WatchPortMapFolder();
  std::unique_ptr<UdevMonitor> devices;
  if (!ActivePortMapPath()) {
    devices = std::make_unique<UdevMonitor>(events_);
    if (!devices->Open()) devices.reset();
  }
  const int wake = devices ? devices->fd() : watch;
  const uint32_t rescan_ms = devices ? kEventRescanMs : kRescanMs;
  std::set<std::string> present = PresentPortNames();
  while (!StopRequested()) {
    const WaitResult woke = WaitForInput(wake, Deadline::At(Clock::now() + std::chrono::milliseconds(rescan_ms)));
    if (woke == WaitResult::kStopped) break;
    // An overflowed event queue reports an error: read it away like an event.
    if (woke == WaitResult::kReady || woke == WaitResult::kHungUp) {
      if (devices) {
        if (!PauseMs(kSettleMs)) break;
        devices->TakeEvents();
      } else {
        Drain(watch);
      }
    }
    std::set<std::string> now = PresentPortNames();
    DiffPortNames(present, now, handler_);
    present = std::move(now);
  }
  if (watch >= 0) close(watch);
  return 0;
}

}  // namespace vek
