// Publishing the simulated module's ports in a port-map file, replaced atomically.
#pragma once

#include <string>
#include <vector>

#include "link/port_source.h"

namespace sim {

// A USB port path as sysfs names it, busnum-devpath: "1-2", "3-1.4.2".
bool ValidUsbPath(const std::string& path);

// Writes the entries to a temporary file beside `path` and renames it over `path`:
// DEVICE_PATH<TAB>FRIENDLY NAME a line, with <TAB>USB_PATH when the entry has one.
// An entry with an unusable USB path writes nothing and fails.
bool WritePortMapFile(const std::string& path, const std::vector<vek::PortEntry>& entries);

}  // namespace sim
