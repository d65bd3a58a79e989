// What the simulated module keeps across programs and reboots: its flash, the
// programmer loaded into RAM and its NV items. Shared by the programs, which
// run on the module's thread; tests read it under the mutex.
#pragma once

#include <mutex>

#include "sim/sim_nv_store.h"

namespace sim {

struct SimDevice {
  std::mutex mutex;
  SimNvStore nv;
  int downloads = 0;  // downloads completed; the AT ports report the new revision after one
};

}  // namespace sim
