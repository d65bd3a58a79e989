// Publishing the simulated module's ports in a port-map file, replaced atomically.
#pragma once

#include <string>
#include <vector>

#include "link/port_source.h"

namespace sim {

// Writes the entries to a temporary file beside `path` and renames it over `path`.
bool WritePortMapFile(const std::string& path, const std::vector<vek::PortEntry>& entries);

}  // namespace sim
