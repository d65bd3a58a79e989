// The module's boot loader: answers the DMSS download protocol, receives the
// flash programmer into RAM and starts it. Numbers are big-endian here.
#include "sim/sim_module.h"
#include "sim/sim_programs.h"

namespace sim {
namespace {

constexpr uint8_t kDmssAck = 0x02;
constexpr uint8_t kDmssNak = 0x03;
constexpr uint8_t kDmssGo = 0x05;
constexpr uint8_t kDmssNop = 0x06;
constexpr uint8_t kDmssParamRequest = 0x07;
constexpr uint8_t kDmssParams = 0x08;
constexpr uint8_t kDmssWrite = 0x0F;

// Reasons carried by a refusal (03, reason as 16 bits).
constexpr uint8_t kNakInvalidCommand = 0x02;
constexpr uint8_t kNakInvalidAddress = 0x03;
constexpr uint8_t kNakInvalidLength = 0x04;
constexpr uint8_t kNakBadCrc = 0x05;

// Protocol version 6 (oldest 2), largest write block 1024, model 0x50, device size 0, type 0.
const std::vector<uint8_t> kParameters = {kDmssParams, 0x06, 0x02, 0x04, 0x00, 0x50, 0x00, 0x00};

uint32_t BigEndian(const std::vector<uint8_t>& bytes, size_t at, int width) {
  uint32_t value = 0;
  for (int i = 0; i < width; ++i) value = value << 8 | bytes[at + static_cast<size_t>(i)];
  return value;
}

class BootLoader : public SimProgram {
 public:
  BootLoader(const SimModuleOptions& options, SimDevice& device) : options_(options), device_(device) {}

  void OnFrame(const DecodedFrame& frame, SimActions& actions) override {
    if (frame.packet.empty()) return;
    if (!frame.crc_ok) return Nak(kNakBadCrc, actions);
    switch (frame.packet[0]) {
      case kDmssNop: return Reply({kDmssAck}, actions);
      case kDmssParamRequest: return Reply(kParameters, actions);
      case kDmssWrite: return Write(frame.packet, actions);
      case kDmssGo: return Go(frame.packet, actions);
      default: return Nak(kNakInvalidCommand, actions);
    }
  }

 private:
  static void Reply(const std::vector<uint8_t>& packet, SimActions& actions) {
    actions.replies.push_back(SimReply{FrameReply(packet, true), 0});
  }
  static void Nak(uint8_t reason, SimActions& actions) { Reply({kDmssNak, 0x00, reason}, actions); }

  // 0F, address (4), length (2), data: each block must follow the one before in RAM.
  void Write(const std::vector<uint8_t>& packet, SimActions& actions) {
    if (packet.size() < 7) return Nak(kNakInvalidLength, actions);
    const uint32_t address = BigEndian(packet, 1, 4);
    const uint32_t length = BigEndian(packet, 5, 2);
    if (length == 0 || packet.size() != 7 + length) return Nak(kNakInvalidLength, actions);
    {
      std::lock_guard lock(device_.mutex);
      if (!started_ || address == device_.ram_base) {
        // The first block, or the host starting the programmer over.
        device_.ram.clear();
        device_.ram_base = address;
        started_ = true;
      } else if (address != device_.ram_base + device_.ram.size()) {
        return Nak(kNakInvalidAddress, actions);
      }
      device_.ram.insert(device_.ram.end(), packet.begin() + 7, packet.end());
    }
    Reply({kDmssAck}, actions);
  }

  // 05, address (4): nothing is answered; the programmer starts.
  void Go(const std::vector<uint8_t>& packet, SimActions& actions) {
    if (packet.size() != 5) return Nak(kNakInvalidLength, actions);
    const uint32_t address = BigEndian(packet, 1, 4);
    {
      std::lock_guard lock(device_.mutex);
      if (!started_ || address != device_.ram_base) return Nak(kNakInvalidAddress, actions);
      device_.go_address = address;
    }
    const auto& options = options_.bootloader;
    if (options.programmer_start == ProgrammerStart::kSamePort) {
      actions.next_state = SimState::kProgrammer;
    } else {
      actions.reenumerate =
          Reenumerate{Reenumerate::Ports::kDiagnostics, options.reenumerate_delay_ms, SimState::kProgrammer};
    }
  }

  const SimModuleOptions& options_;
  SimDevice& device_;
  bool started_ = false;  // a write block has arrived since the boot loader started
};

}  // namespace

std::unique_ptr<SimProgram> MakeBootLoader(const SimModuleOptions& options, SimDevice& device) {
  return std::make_unique<BootLoader>(options, device);
}

}  // namespace sim
