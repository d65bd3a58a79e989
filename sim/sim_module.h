// A module simulated on pseudo-terminals: a diagnostic, an AT and an NMEA port,
// published in a port-map file, answering as the module's firmware, boot loader
// or programmer would. Runs its own thread; tests use it in-process and the
// vek-sim program runs it as a process.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/frame_decoder.h"
#include "sim/pty_port.h"
#include "sim/sim_at_responder.h"
#include "sim/sim_device.h"
#include "sim/sim_diag_link.h"
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

class PortMapBoard;

class SimModule {
 public:
  // Alone, the module writes the port-map file itself; in a tray it reports its
  // lines to the tray's board, in `slot`, beside the other modules' lines.
  explicit SimModule(SimModuleOptions options, std::shared_ptr<PortMapBoard> board = nullptr, size_t slot = 0);
  ~SimModule();
  SimModule(const SimModule&) = delete;
  SimModule& operator=(const SimModule&) = delete;

  bool Start(std::string* error = nullptr);
  void Stop();

  SimState state() const { return state_.load(); }

  // The USB cable, from any thread: pulled, every port vanishes at once (replies
  // not yet sent are lost) and stays away until plugged back, or until
  // `back_after_ms` (scaled) has passed when given; plugged back, the ports
  // return under their COM numbers with new device paths.
  void PullCable(std::optional<uint32_t> back_after_ms = std::nullopt);
  void PlugCable();
  bool cable_pulled() const { return cable_pulled_.load(); }
  const SimModuleOptions& options() const { return options_; }
  FaultPlan& faults() { return faults_; }
  // What survives reboots: flash, RAM, NV items. Lock its mutex to read it.
  SimDevice& device() { return device_; }

  // The port's COM number now: the diagnostic port's changes when the module comes
  // back as its download device under another number (UsbOptions::download_com).
  uint32_t ComNumber(SimPortRole role) const;
  std::string FriendlyName(SimPortRole role) const;
  std::string DevicePath(SimPortRole role) const;
  // Counts the changes of the ports (one vanishing, one appearing): equal before and
  // after a look at them, the paths read before it were this module's all along.
  uint64_t port_changes() const { return port_changes_.load(); }

  std::vector<RecordedRequest> Requests() const;
  void ClearRequests();
  // The firmware's DIAG requests its diagnostic task dropped, its queue full
  // (DiagLinkOptions::queue), since the start: none of them was answered.
  uint64_t dropped_diag_requests() const { return diag_link_.dropped(); }

 private:
  struct PendingWrite {
    std::chrono::steady_clock::time_point due;
    SimPortRole role;
    std::vector<uint8_t> bytes;
  };
  struct PendingReenumeration {
    std::chrono::steady_clock::time_point due;
    Reenumerate what;
    bool away = false;  // the ports have vanished; `due` is when they come back
    std::chrono::steady_clock::time_point linger_until;  // latest moment to vanish with replies unread
  };

  struct CableRequest {
    bool pull = false;
    std::optional<uint32_t> back_after_ms;
  };

  void Run(std::stop_token stop);
  void Wake();
  void TakeCableRequests();
  void PullNow(std::optional<uint32_t> back_after_ms);
  void PlugNow();
  void OnDiagBytes(const uint8_t* data, size_t length);
  void HandleFrame(DecodedFrame&& frame);
  bool StoppedUntilGone() const;
  void Serve(DecodedFrame&& frame, std::chrono::steady_clock::time_point replies_from);
  void ServeHandled();
  void SwitchProgram(SimState state);
  void Schedule(std::vector<SimReply>& replies,
                std::chrono::steady_clock::time_point from = std::chrono::steady_clock::now());
  void FlushDue();
  void ReenumerateDue();
  bool Dropped(SimPortRole role) const;
  bool Returning(SimPortRole role) const;
  std::optional<std::chrono::steady_clock::time_point> NextDue() const;
  // Lists the open ports but those `leaving` names in the port map.
  bool Publish(const std::function<bool(SimPortRole)>& leaving = {});
  PtyPort& Port(SimPortRole role);
  const PtyPort& Port(SimPortRole role) const;

  SimModuleOptions options_;
  SimDiagLink diag_link_;  // loop thread only, but for its count of drops
  std::shared_ptr<PortMapBoard> board_;
  const size_t slot_;
  std::atomic<SimState> state_;
  PtyPort ports_[3];
  PtyPort replacements_[3];  // opened before a port vanishes, so its path is new
  mutable std::mutex paths_mutex_;
  std::string paths_[3];  // device paths as published, for other threads
  std::optional<PendingReenumeration> reenumeration_;  // loop thread only
  FrameDecoder decoder_;
  SimDevice device_;
  std::unique_ptr<SimProgram> program_;
  std::unique_ptr<SimAtResponder> at_responder_;
  FaultPlan faults_;
  std::vector<uint8_t> last_diag_reply_;  // as the program made it: what a stale reply repeats
  std::vector<PendingWrite> pending_;  // loop thread only
  mutable std::mutex requests_mutex_;
  std::vector<RecordedRequest> requests_;
  mutable std::mutex cable_mutex_;
  std::vector<CableRequest> cable_requests_;  // from other threads, for the loop thread
  std::atomic<bool> cable_pulled_{false};
  std::atomic<uint64_t> port_changes_{0};
  std::atomic<uint32_t> diag_com_;  // set by the loop thread before the ports are published
  std::atomic<uint32_t> firmware_com_;  // the firmware's COM base, set like diag_com_
  std::optional<std::chrono::steady_clock::time_point> plug_due_;  // loop thread only
  SimState state_when_plugged_ = SimState::kFirmware;             // loop thread only
  int wake_fd_ = -1;
  std::jthread thread_;
};

}  // namespace sim
