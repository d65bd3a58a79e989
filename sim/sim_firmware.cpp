// The module's normal firmware: answers DIAG requests on the diagnostic port.
// DIAG replies carry no opening flag.
#include <algorithm>

#include "sim/sim_device.h"
#include "sim/sim_module.h"
#include "sim/sim_programs.h"

namespace sim {
namespace {

constexpr uint8_t kVersion = 0x00;
constexpr uint8_t kBadCrc = 0x13;
constexpr uint8_t kBadLength = 0x14;
constexpr uint8_t kBadCommand = 0x15;
constexpr uint8_t kNvRead = 0x26;
constexpr uint8_t kNvWrite = 0x27;
constexpr uint8_t kModeChange = 0x29;
constexpr uint8_t kSwitchToDownload = 0x3A;
constexpr uint8_t kInterfaceType = 0x3D;
constexpr uint8_t kUnlockSpc = 0x41;

constexpr uint8_t kModeOffline = 0x01;
constexpr uint8_t kModeReset = 0x02;
constexpr size_t kServiceCodeLength = 6;

class Firmware : public SimProgram {
 public:
  Firmware(const SimModuleOptions& options, SimDevice& device) : options_(options), device_(device) {}

  void OnFrame(const DecodedFrame& frame, SimActions& actions) override {
    if (frame.packet.empty()) return;
    const uint8_t code = frame.packet[0];
    if (!frame.crc_ok) return Refuse(kBadCrc, frame, actions);
    switch (code) {
      case kNvRead:
      case kNvWrite: device_.nv.OnFrame(frame, actions); return;
      case kVersion: return ReplyText(kVersion, options_.firmware.version, actions);
      case kInterfaceType: return ReplyText(kInterfaceType, options_.firmware.interface_type, actions);
      case kUnlockSpc: return Unlock(frame, actions);
      case kModeChange: return ModeChange(frame, actions);
      case kSwitchToDownload: return SwitchToDownload(actions);
      default: return Refuse(kBadCommand, frame, actions);
    }
  }

 private:
  static void Reply(const std::vector<uint8_t>& packet, SimActions& actions) {
    actions.replies.push_back(SimReply{FrameReply(packet, false), 0});
  }

  // The firmware refuses with an error code followed by the request.
  static void Refuse(uint8_t error, const DecodedFrame& frame, SimActions& actions) {
    std::vector<uint8_t> reply(frame.packet.size() + 1);
    reply[0] = error;
    std::copy(frame.packet.begin(), frame.packet.end(), reply.begin() + 1);
    Reply(reply, actions);
  }

  // The request code followed by a zero-terminated text.
  static void ReplyText(uint8_t code, const std::string& text, SimActions& actions) {
    std::vector<uint8_t> reply(text.size() + 2);  // ends in the terminating zero
    reply[0] = code;
    std::copy(text.begin(), text.end(), reply.begin() + 1);
    Reply(reply, actions);
  }

  void Unlock(const DecodedFrame& frame, SimActions& actions) {
    if (frame.packet.size() != 1 + kServiceCodeLength) return Refuse(kBadLength, frame, actions);
    const std::string code(frame.packet.begin() + 1, frame.packet.end());
    Reply({kUnlockSpc, static_cast<uint8_t>(code == options_.firmware.service_code ? 1 : 0)}, actions);
  }

  // Nothing is answered. The boot loader takes over the diagnostic port at once, or,
  // as a USB module does, the firmware's device drops off the bus and the boot
  // loader's comes back with its one port.
  void SwitchToDownload(SimActions& actions) {
    const auto& usb = options_.usb;
    if (!usb.switch_reenumerate) {
      actions.next_state = SimState::kBootLoader;
      return;
    }
    actions.reenumerate = Reenumerate{Reenumerate::Ports::kAll, usb.switch_delay_ms, SimState::kBootLoader,
                                      usb.switch_leave_ms, Reenumerate::Ports::kDiagnostics, true};
  }

  void ModeChange(const DecodedFrame& frame, SimActions& actions) {
    if (frame.packet.size() != 3) return Refuse(kBadLength, frame, actions);
    const uint8_t mode = frame.packet[1];
    if (mode != kModeOffline && mode != kModeReset) return Refuse(kBadCommand, frame, actions);
    if (mode == kModeOffline) return Reply(frame.packet, actions);
    // A reset restarts the module at once, without an answer; every port goes away a while.
    actions.reenumerate = Reenumerate{Reenumerate::Ports::kAll, options_.firmware.reboot_delay_ms, SimState::kFirmware};
  }

  const SimModuleOptions& options_;
  SimDevice& device_;
};

}  // namespace

std::unique_ptr<SimProgram> MakeFirmware(const SimModuleOptions& options, SimDevice& device) {
  return std::make_unique<Firmware>(options, device);
}

}  // namespace sim
