// How the simulated module is set up: one group of options per program.
#pragma once

#include <cstdint>
#include <string>

#include "sim/sim_program.h"

namespace sim {

struct FirmwareOptions {};

struct BootLoaderOptions {};

struct ProgrammerOptions {};

struct NvOptions {};

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
