// The simulated module's AT and NMEA ports.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/sim_options.h"
#include "sim/sim_program.h"

namespace sim {

struct SimDevice;

class SimAtResponder {
 public:
  SimAtResponder(const SimModuleOptions& options, SimDevice& device) : options_(options), device_(device) {}
  // Bytes the host wrote to the AT or NMEA port; answers go into actions.replies.
  void OnBytes(SimPortRole port, const uint8_t* data, size_t length, SimActions& actions);

 private:
  const SimModuleOptions& options_;
  SimDevice& device_;
};

}  // namespace sim
