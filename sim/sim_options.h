// How the simulated module is set up: one group of options per program.
#pragma once

#include <cstdint>
#include <string>

#include "sim/sim_program.h"

namespace sim {

struct FirmwareOptions {
  std::string version = "SIM_FW_1.0.0";        // the version reply's text
  std::string interface_type = "USB";          // the interface-type reply's text
  std::string service_code = "000000";         // the code that unlocks NV access
  uint32_t reboot_delay_ms = 300;              // ports away after a reset
};

// How the programmer comes up after the boot loader's go.
enum class ProgrammerStart {
  kSamePort,         // on the diagnostic port the host still holds
  kReenumeratePort,  // the diagnostic port vanishes and comes back (same COM number)
};

struct BootLoaderOptions {
  ProgrammerStart programmer_start = ProgrammerStart::kReenumeratePort;
  uint32_t reenumerate_delay_ms = 300;  // diagnostic port away after go
};

struct ProgrammerOptions {
  std::string flash_name = "SIM NAND 128MiB";  // in the hello reply
  bool partition_mismatch = false;             // the flash holds another table until override 1
  uint32_t reboot_delay_ms = 300;              // ports away after the reset
};

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
