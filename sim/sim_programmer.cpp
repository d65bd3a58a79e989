// The flash programmer running in the module's RAM: answers the streaming protocol.
#include <algorithm>

#include "sim/sim_module.h"
#include "sim/sim_programs.h"

namespace sim {
namespace {

constexpr uint8_t kStreamLog = 0x0E;  // the programmer's error report

class Programmer : public SimProgram {
 public:
  Programmer(const SimModuleOptions& options, SimDevice& device) : options_(options), device_(device) {}

  void OnFrame(const DecodedFrame& frame, SimActions& actions) override {
    if (frame.packet.empty()) return;
    ReportError(actions, frame.crc_ok ? 0x09 : 0x0C);
  }

 private:
  // 0E, a 32-bit little-endian error code and a short text.
  static void ReportError(SimActions& actions, uint8_t error) {
    static constexpr char kText[] = "invalid command";
    std::vector<uint8_t> reply(5 + sizeof kText - 1);
    reply[0] = kStreamLog;
    reply[1] = error;
    std::copy(kText, kText + sizeof kText - 1, reply.begin() + 5);
    actions.replies.push_back(SimReply{FrameReply(reply, true), 0});
  }

  const SimModuleOptions& options_;
  SimDevice& device_;
};

}  // namespace

std::unique_ptr<SimProgram> MakeProgrammer(const SimModuleOptions& options, SimDevice& device) {
  return std::make_unique<Programmer>(options, device);
}

}  // namespace sim
