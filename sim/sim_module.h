// A module simulated on pseudo-terminals: a diagnostic, an AT and an NMEA port,
// published in a port-map file, answering as the module's firmware, boot loader
// or programmer would. Runs its own thread; tests use it in-process and the
// vek-sim program runs it as a process.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/frame_decoder.h"
#include "sim/pty_port.h"
#include "sim/sim_at_responder.h"
#include "sim/sim_device.h"
#include "sim/sim_faults.h"
#include "sim/sim_options.h"
#include "sim/sim_program.h"

namespace sim {

struct RecordedRequest {
  SimState state;
  std::vector<uint8_t> packet;  // unescaped, without CRC
  std::vector<uint8_t> wire;    // exactly as received, flags included
  bool crc_ok;
};

class SimModule {
 public:
  explicit SimModule(SimModuleOptions options);
  ~SimModule();
  SimModule(const SimModule&) = delete;
  SimModule& operator=(const SimModule&) = delete;

  bool Start(std::string* error = nullptr);
  void Stop();

  SimState state() const { return state_.load(); }
  const SimModuleOptions& options() const { return options_; }
  FaultPlan& faults() { return faults_; }
  // What survives reboots: flash, RAM, NV items. Lock its mutex to read it.
  SimDevice& device() { return device_; }

  uint32_t ComNumber(SimPortRole role) const;
  std::string FriendlyName(SimPortRole role) const;
  std::string DevicePath(SimPortRole role) const;

  std::vector<RecordedRequest> Requests() const;
  void ClearRequests();

 private:
  struct PendingWrite {
    std::chrono::steady_clock::time_point due;
    SimPortRole role;
    std::vector<uint8_t> bytes;
  };

  void Run(std::stop_token stop);
  void OnDiagBytes(const uint8_t* data, size_t length);
  void HandleFrame(DecodedFrame&& frame);
  void SwitchProgram(SimState state);
  void Schedule(std::vector<SimReply>& replies);
  void FlushDue();
  bool Publish();
  PtyPort& Port(SimPortRole role);
  const PtyPort& Port(SimPortRole role) const;

  SimModuleOptions options_;
  std::atomic<SimState> state_;
  PtyPort ports_[3];
  FrameDecoder decoder_;
  SimDevice device_;
  std::unique_ptr<SimProgram> program_;
  std::unique_ptr<SimAtResponder> at_responder_;
  FaultPlan faults_;
  std::vector<PendingWrite> pending_;  // loop thread only
  mutable std::mutex requests_mutex_;
  std::vector<RecordedRequest> requests_;
  int wake_fd_ = -1;
  std::jthread thread_;
};

}  // namespace sim
