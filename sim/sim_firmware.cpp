// The module's normal firmware: answers DIAG requests on the diagnostic port.
#include <algorithm>

#include "sim/sim_device.h"
#include "sim/sim_module.h"
#include "sim/sim_programs.h"

namespace sim {
namespace {

constexpr uint8_t kDiagBadCommand = 0x15;
constexpr uint8_t kNvRead = 0x26;
constexpr uint8_t kNvWrite = 0x27;

class Firmware : public SimProgram {
 public:
  Firmware(const SimModuleOptions& options, SimDevice& device) : options_(options), device_(device) {}

  void OnFrame(const DecodedFrame& frame, SimActions& actions) override {
    if (frame.packet.empty()) return;
    const uint8_t code = frame.packet[0];
    if (code == kNvRead || code == kNvWrite) {
      device_.nv.OnFrame(frame, actions);
      return;
    }
    // The firmware refuses what it does not know with 0x15 followed by the
    // request; DIAG replies carry no opening flag.
    std::vector<uint8_t> reply(frame.packet.size() + 1);
    reply[0] = kDiagBadCommand;
    std::copy(frame.packet.begin(), frame.packet.end(), reply.begin() + 1);
    actions.replies.push_back(SimReply{FrameReply(reply, false), 0});
  }

 private:
  const SimModuleOptions& options_;
  SimDevice& device_;
};

}  // namespace

std::unique_ptr<SimProgram> MakeFirmware(const SimModuleOptions& options, SimDevice& device) { return std::make_unique<Firmware>(options, device); }

}  // namespace sim
