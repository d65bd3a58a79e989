// The simulated module's NV items and its answers to NV read and write requests.
#pragma once

#include "sim/sim_program.h"

namespace sim {

class SimNvStore {
 public:
  void OnFrame(const DecodedFrame& frame, SimActions& actions);
};

}  // namespace sim
