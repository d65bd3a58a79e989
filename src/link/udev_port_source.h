// The system's own serial ports: tty devices with a USB parent, listed through
// libudev and named as link/usb_port_naming.h describes. Used whenever no
// port-map file is in force.
#pragma once

#include <vector>

#include "link/port_source.h"
#include "link/usb_port_naming.h"

namespace vek {

class UdevPortSource : public PortSource {
 public:
  std::vector<PortEntry> ListPorts() override;
};

// The present tty devices that have a USB parent, as the system reports them.
std::vector<UsbTty> ListUsbTtys();

// Makes the udev source the system's port source. Front ends call it at start-up.
void InstallSystemPortSource();

}  // namespace vek
