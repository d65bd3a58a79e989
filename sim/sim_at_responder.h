// The simulated module's AT and NMEA ports: command lines ended by CR (or LF)
// answered like a module does, each reply line ended by CR LF and closed by
// "OK" or "ERROR".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/sim_faults.h"
#include "sim/sim_options.h"
#include "sim/sim_program.h"

namespace sim {

struct SimDevice;

class SimAtResponder {
 public:
  SimAtResponder(const SimModuleOptions& options, SimDevice& device, FaultPlan* faults = nullptr)
      : options_(options), device_(device), faults_(faults) {}
  ~SimAtResponder();
  SimAtResponder(const SimAtResponder&) = delete;
  SimAtResponder& operator=(const SimAtResponder&) = delete;

  // Given the AT port's device once it exists: with the busy fault, another
  // "program" takes the port exclusively and keeps it.
  void Attach(const std::string& at_device_path);

  // Bytes the host wrote to the AT or NMEA port; answers go into actions.replies.
  void OnBytes(SimPortRole port, const uint8_t* data, size_t length, SimActions& actions);

  // The full reply to one command line (without its terminator).
  std::string Answer(std::string_view command) const;

 private:
  std::string IdentityLines(bool with_device_info) const;
  // The replies to one command line, with the fault planned for it applied.
  void Reply(SimPortRole port, const std::string& command, std::string reply, SimActions& actions);

  const SimModuleOptions& options_;
  SimDevice& device_;
  FaultPlan* faults_;
  std::string pending_[2];  // command text received so far: AT port, NMEA port
  bool overlong_[2] = {};
  std::vector<uint8_t> last_reply_[3];  // by port role: what a stale reply repeats
  int held_fd_ = -1;
};

}  // namespace sim
