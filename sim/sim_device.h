// What the simulated module keeps across programs and reboots: its flash, the
// programmer loaded into RAM and its NV items. Shared by the programs, which
// run on the module's thread; tests read it under the mutex.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "sim/sim_nv_store.h"

namespace sim {

// One image as the programmer wrote it into flash.
struct SimFlashImage {
  std::vector<uint8_t> header;  // sent with the open request
  std::vector<uint8_t> data;    // the write blocks, in order
  bool closed = false;          // the host closed it after the last block
};

struct SimDevice {
  std::mutex mutex;
  SimNvStore nv;
  int downloads = 0;  // downloads completed; the AT ports report the new revision after one
  // The programmer the boot loader received, from ram_base upward.
  uint32_t ram_base = 0;
  std::vector<uint8_t> ram;
  uint32_t go_address = 0;  // where the boot loader was told to jump (0: not yet)
  // Flash, written by the programmer.
  std::vector<uint8_t> partition_table;
  bool partition_table_forced = false;  // the host overrode a different table
  std::map<uint8_t, SimFlashImage> flash;  // by image type
  int efs_erasures = 0;
  int whole_flash_erasures = 0;
  int security_mode = -1;  // the last mode byte chosen (-1: none yet)
  int boots = 0;           // reboots and re-enumerations so far
};

}  // namespace sim
