// The system's own serial ports: tty devices with a USB parent, listed through
// libudev and named as link/usb_port_naming.h describes. Used whenever no
// port-map file is in force.
//
// Listing walks every tty of the machine (dozens of virtual consoles on a
// desktop), so the listing is kept and done again only when udev reports a tty
// event, and at least every few seconds in case an event was lost. Without
// udev events every call lists afresh.
//
// The source is listed from several threads, but a libudev object may only
// ever be used by the thread that made it (libudev(3)), even under a lock. So
// the kept listing is shared, while each listing thread watches the events
// with a monitor of its own, made on its first listing and closed when the
// thread ends.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "link/port_source.h"
#include "link/udev_monitor.h"
#include "link/usb_port_naming.h"
#include "records/time_scale.h"

namespace vek {

class UdevPortSource : public PortSource {
 public:
  explicit UdevPortSource(EventSource events = EventSource::kSystem);
  // Names are given on every call, so a changed role table counts at once.
  std::vector<PortEntry> ListPorts() override;

 private:
  std::vector<UsbTty> CurrentTtys();
  // This thread's monitor for this source; `made` tells that it was made just now.
  UdevMonitor& ThreadMonitor(bool* made);

  const EventSource events_;
  const uint64_t id_;            // tells this source's monitors from an earlier source's
  std::mutex mutex_;             // guards the kept listing below
  bool listed_ = false;
  Clock::time_point listed_at_;
  std::vector<UsbTty> ttys_;
};

// The present tty devices that have a USB parent, as the system reports them.
std::vector<UsbTty> ListUsbTtys();

// Makes the udev source the system's port source. Front ends call it at start-up.
void InstallSystemPortSource();

}  // namespace vek
