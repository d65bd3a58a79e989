// Tells when tty devices come and go, from udev's event socket, so that nobody
// has to list every tty of the machine again and again to notice a module.
//
// Events come from the udev service once it has made the device node; where no
// udev service runs (containers, small systems) they come straight from the
// kernel, which is the only source left there.
#pragma once

#include <memory>
#include <set>
#include <string>

namespace vek {

enum class EventSource {
  kSystem,  // the udev service when it runs, else the kernel
  kUdev,    // the udev service's events only
};

class UdevMonitor {
 public:
  explicit UdevMonitor(EventSource source = EventSource::kSystem);
  ~UdevMonitor();
  UdevMonitor(const UdevMonitor&) = delete;
  UdevMonitor& operator=(const UdevMonitor&) = delete;

  // False when the system gives no events (no netlink socket); fd() is then -1.
  bool Open() const { return fd_ >= 0; }
  // Readable when an event waits; for WaitForInput.
  int fd() const { return fd_; }

  // Reads every waiting event without blocking. True when any came, or when
  // some were lost because the queue overflowed: either way the ports may
  // have changed. `removed`, when given, receives the device nodes whose last
  // event was a removal: the kernel announces a removal before its sysfs
  // entries are gone, so a listing made just after may still show them.
  bool TakeEvents(std::set<std::string>* removed = nullptr);

 private:
  struct Handles;
  std::unique_ptr<Handles> handles_;
  int fd_ = -1;
};

}  // namespace vek
