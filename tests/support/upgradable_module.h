// The module most job tests flash: a ZX2180 whose firmware reports a new
// revision once a download has completed, so the job's version report differs.
#pragma once

#include <string>

#include "sim/sim_module.h"

namespace vektest {

inline sim::SimModuleOptions UpgradableModuleOptions(const std::string& port_map,
                                                     sim::SimState state = sim::SimState::kFirmware) {
  sim::SimModuleOptions options;
  options.state = state;
  options.port_map_path = port_map;
  options.at.model = "ZX2180";
  options.at.revision = "ZX2180_SIM_V1.0";
  options.at.revision_after_download = "ZX2180_SIM_V1.1";
  return options;
}

}  // namespace vektest
