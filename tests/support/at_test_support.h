// A simulated module whose AT side a test sets up, with fresh device records.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "records/job_records.h"
#include "sim/sim_module.h"
#include "test_support.h"

namespace vektest {

class SimulatedAtModule {
 public:
  explicit SimulatedAtModule(sim::AtOptions at, sim::SimState state = sim::SimState::kFirmware) {
    sim::SimModuleOptions options;
    options.port_map_path = dir_.File("ports");
    options.state = state;
    options.at = std::move(at);
    module_ = std::make_unique<sim::SimModule>(options);
    started_ = module_->Start();
    vek::SetPortMapPath(options.port_map_path);
    vek::ResetForNewDevice(vek::TheJob(), vek::TheDevice(), "/tmp");
  }
  ~SimulatedAtModule() {
    module_.reset();
    vek::SetPortMapPath("");
  }

  bool started() const { return started_; }
  sim::SimModule& module() { return *module_; }
  uint32_t Port(sim::SimPortRole role) const { return module_->ComNumber(role); }
  uint32_t AtPort() const { return Port(sim::SimPortRole::kAt); }
  uint32_t NmeaPort() const { return Port(sim::SimPortRole::kNmea); }

 private:
  TempDir dir_;
  std::unique_ptr<sim::SimModule> module_;
  bool started_ = false;
};

}  // namespace vektest
