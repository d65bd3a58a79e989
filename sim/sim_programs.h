// Factories of the simulated module's three programs.
#pragma once

#include <memory>

#include "sim/sim_program.h"

namespace sim {

struct SimModuleOptions;
struct SimDevice;

std::unique_ptr<SimProgram> MakeFirmware(const SimModuleOptions& options, SimDevice& device);
std::unique_ptr<SimProgram> MakeBootLoader(const SimModuleOptions& options, SimDevice& device);
std::unique_ptr<SimProgram> MakeProgrammer(const SimModuleOptions& options, SimDevice& device);

}  // namespace sim
