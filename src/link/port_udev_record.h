// What udev knows about a port's device node: whether it has a record at all,
// whether modem managers are told to leave it alone, and whether the logged-in
// user is given access to it. Pseudo-terminals (the simulator's ports) have no
// record.
#pragma once

#include <string>

namespace vek {

struct PortUdevRecord {
  bool found = false;            // udev has a tty device with this node
  bool modem_manager_ignore = false;  // ID_MM_DEVICE_IGNORE on the tty or its USB device
  bool tagged_uaccess = false;   // the logged-in user is given access
};

// Looks the node up among udev's tty devices (symbolic links are followed).
PortUdevRecord ReadPortUdevRecord(const std::string& device_path);

}  // namespace vek
