// The module's boot loader: answers the DMSS download protocol.
#include "sim/sim_module.h"
#include "sim/sim_programs.h"

namespace sim {
namespace {

constexpr uint8_t kDmssNop = 0x06;
constexpr uint8_t kDmssAck = 0x02;
constexpr uint8_t kDmssNak = 0x03;

class BootLoader : public SimProgram {
 public:
  BootLoader(const SimModuleOptions& options, SimDevice& device) : options_(options), device_(device) {}

  void OnFrame(const DecodedFrame& frame, SimActions& actions) override {
    if (frame.packet.empty()) return;
    const uint8_t code = frame.packet[0];
    if (!frame.crc_ok) {
      actions.replies.push_back(SimReply{FrameReply({kDmssNak, 0x00, 0x05}, true), 0});
      return;
    }
    if (code == kDmssNop) {
      actions.replies.push_back(SimReply{FrameReply({kDmssAck}, true), 0});
      return;
    }
    actions.replies.push_back(SimReply{FrameReply({kDmssNak, 0x00, 0x02}, true), 0});
  }

 private:
  const SimModuleOptions& options_;
  SimDevice& device_;
};

}  // namespace

std::unique_ptr<SimProgram> MakeBootLoader(const SimModuleOptions& options, SimDevice& device) {
  return std::make_unique<BootLoader>(options, device);
}

}  // namespace sim
