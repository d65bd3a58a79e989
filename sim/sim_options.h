// How the simulated module is set up: one group of options per program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/sim_program.h"

namespace sim {

struct FirmwareOptions {};

struct BootLoaderOptions {};

struct ProgrammerOptions {};

struct NvOptions {
  uint32_t seed = 1;  // seeds the data of every item
  // Item 550: the IMEI as L and L BCD bytes (identity type 0xA in the first nibble).
  std::vector<uint8_t> imei_item = {0x08, 0x3A, 0x49, 0x01, 0x23, 0x45, 0x67, 0x89, 0x01};
  // Item 1943: the MEID bytes.
  std::vector<uint8_t> meid_item = {0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0xA0, 0x00};
  int32_t silent_from_item = -1;  // NV requests for this item id and above get no reply
  int32_t bad_crc_item = -1;      // read replies for this item go out with a wrong CRC...
  int32_t bad_crc_times = 1;      // ...this many times
};

struct AtOptions {};

struct SimModuleOptions {
  SimState state = SimState::kFirmware;
  std::string port_map_path;  // where the ports are published (required)
  uint32_t com_base = 20;     // diagnostic COM<base>, AT COM<base+1>, NMEA COM<base+2>
  std::string name = "Simulated Module";
  FirmwareOptions firmware;
  BootLoaderOptions bootloader;
  ProgrammerOptions programmer;
  NvOptions nv;
  AtOptions at;
};

}  // namespace sim
