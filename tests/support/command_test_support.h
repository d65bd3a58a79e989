// Helpers for the command tests: the simulated module in-process with the
// host's diagnostic port open on it, a scripted module that answers each
// request with prepared frames, and a recorder of progress reports.
#pragma once

#include <sys/ioctl.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "images/image_set.h"
#include "link/hdlc_frame.h"
#include "link/serial_port.h"
#include "protocol/reply_wait.h"
#include "records/job_records.h"
#include "records/time_scale.h"
#include "sim/frame_decoder.h"
#include "sim/sim_module.h"
#include "test_support.h"

namespace vektest {

using Bytes = std::vector<uint8_t>;

// Every (done, total) pair passed to show_progress.
inline std::vector<std::pair<uint32_t, int32_t>>& ProgressReports() {
  static std::vector<std::pair<uint32_t, int32_t>> reports;
  return reports;
}

inline int RecordProgress(uint32_t done, int32_t total) {
  ProgressReports().emplace_back(done, total);
  return 0;
}

// The job as the commands read it: a platform and the progress recorder; no images.
inline void PrepareJob(uint32_t platform) {
  vek::TheJob().platform = platform;
  vek::TheJob().show_progress = &RecordProgress;
  ProgressReports().clear();
  vek::FreeImageSet();
}

// The simulated module with the host's DiagPort open on its diagnostic port.
class SimulatedModule {
 public:
  explicit SimulatedModule(sim::SimState state, sim::SimModuleOptions options = {}) {
    options.state = state;
    options.port_map_path = dir_.File("ports");
    module_ = std::make_unique<sim::SimModule>(options);
    started_ = module_->Start();
    vek::SetPortMapPath(options.port_map_path);
    opened_ = started_ && vek::OpenDiagPort(module_->ComNumber(sim::SimPortRole::kDiagnostics));
  }
  ~SimulatedModule() {
    vek::CloseDiagPort();
    module_->Stop();
    vek::SetPortMapPath("");
    vek::FreeImageSet();
  }

  bool ready() const { return started_ && opened_; }
  sim::SimModule& module() { return *module_; }
  sim::SimDevice& device() { return module_->device(); }

  // The requests the module received, exactly as they came on the wire.
  std::vector<Bytes> Wire() const {
    std::vector<Bytes> out;
    for (const auto& request : module_->Requests()) out.push_back(request.wire);
    return out;
  }
  // The n-th request on the wire, waiting briefly for it to arrive.
  Bytes WireAt(size_t n) {
    Eventually([&] { return module_->Requests().size() > n; });
    const auto wire = Wire();
    return n < wire.size() ? wire[n] : Bytes{};
  }
  // Whether every request had a good CRC.
  bool AllCrcGood() const {
    for (const auto& request : module_->Requests())
      if (!request.crc_ok) return false;
    return true;
  }
  // Waits until the module has come back from its next reboot or re-enumeration.
  bool WaitForBoots(int boots, int ms = 5000) {
    return Eventually(
        [&] {
          std::lock_guard lock(device().mutex);
          return device().boots >= boots;
        },
        ms);
  }

 private:
  TempDir dir_;
  std::unique_ptr<sim::SimModule> module_;
  bool started_ = false;
  bool opened_ = false;
};

// A module played by the test: each request is answered by the next list of
// frames; a frame after the first goes out once the host has taken the one
// before (its receive side was purged), so none is thrown away with it.
class ScriptedModule {
 public:
  explicit ScriptedModule(std::vector<std::vector<Bytes>> answers) : answers_(std::move(answers)) {
    opened_ = vek::OpenDiagPort(7);
    thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
  }
  ~ScriptedModule() {
    thread_.request_stop();
    thread_.join();
  }

  bool ready() const { return opened_; }
  PeerPort& peer() { return peer_; }
  std::vector<Bytes> Requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  void Run(std::stop_token stop) {
    sim::FrameDecoder decoder;
    size_t next = 0;
    while (!stop.stop_requested()) {
      pollfd p{peer_.pty().master_fd(), POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      uint8_t buffer[4096];
      const ssize_t n = read(p.fd, buffer, sizeof buffer);
      if (n <= 0) continue;
      std::vector<sim::DecodedFrame> frames;
      decoder.Feed(buffer, static_cast<size_t>(n), [&](sim::DecodedFrame&& f) { frames.push_back(std::move(f)); });
      for (auto& frame : frames) {
        {
          std::lock_guard lock(mutex_);
          requests_.push_back(frame.wire);
        }
        if (next >= answers_.size()) continue;
        const auto& reply = answers_[next++];
        for (size_t i = 0; i < reply.size(); ++i) {
          const uint32_t generation = vek::DiagReceiveGeneration();
          peer_.Send(reply[i]);
          if (i + 1 < reply.size()) Eventually([&] { return vek::DiagReceiveGeneration() != generation; });
        }
      }
    }
  }

  PeerPort peer_;
  bool opened_ = false;
  std::vector<std::vector<Bytes>> answers_;
  std::mutex mutex_;
  std::vector<Bytes> requests_;
  std::jthread thread_;
};

// A reply frame as the module sends it.
inline Bytes Frame(const Bytes& packet, bool opening_flag = true) { return sim::FrameReply(packet, opening_flag); }

// Bytes that differ from block to block: byte i is i * step + offset.
inline Bytes Pattern(size_t size, uint8_t step = 7, uint8_t offset = 3) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * step + offset);
  return bytes;
}

}  // namespace vektest
