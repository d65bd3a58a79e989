// The flash programmer running in the module's RAM: answers the streaming
// protocol and writes what it receives into the device's flash. Numbers are
// little-endian here; every reply carries the opening flag.
#include <algorithm>
#include <cstring>

#include "sim/sim_module.h"
#include "sim/sim_programs.h"

namespace sim {
namespace {

constexpr uint8_t kHello = 0x01;
constexpr uint8_t kHelloReply = 0x02;
constexpr uint8_t kWrite = 0x07;
constexpr uint8_t kWriteReply = 0x08;
constexpr uint8_t kReset = 0x0B;
constexpr uint8_t kResetReply = 0x0C;
constexpr uint8_t kStreamLog = 0x0E;  // the programmer's error report
constexpr uint8_t kClose = 0x15;
constexpr uint8_t kCloseReply = 0x16;
constexpr uint8_t kSecurityMode = 0x17;
constexpr uint8_t kSecurityModeReply = 0x18;
constexpr uint8_t kPartition = 0x19;
constexpr uint8_t kPartitionReply = 0x1A;
constexpr uint8_t kOpen = 0x1B;
constexpr uint8_t kOpenReply = 0x1C;

constexpr uint8_t kEfsImage = 0x09;
constexpr char kHostMagic[] = "QCOM fast download protocol host";
constexpr char kTargetMagic[] = "QCOM fast download protocol targ";
constexpr size_t kMagicLength = 32;

// Error codes of the 0E report.
constexpr uint8_t kErrorInvalidCommand = 0x09;
constexpr uint8_t kErrorBadCrc = 0x0C;
constexpr uint8_t kErrorNotOpen = 0x0D;
constexpr uint8_t kErrorBadOffset = 0x0E;
constexpr uint8_t kErrorBadPacket = 0x0F;

class Programmer : public SimProgram {
 public:
  Programmer(const SimModuleOptions& options, SimDevice& device) : options_(options), device_(device) {}

  void OnFrame(const DecodedFrame& frame, SimActions& actions) override {
    if (frame.packet.empty()) return;
    if (!frame.crc_ok) return ReportError(actions, kErrorBadCrc, "bad crc");
    const auto& packet = frame.packet;
    switch (packet[0]) {
      case kHello: return Hello(packet, actions);
      case kSecurityMode: return SecurityMode(packet, actions);
      case kPartition: return Partition(packet, actions);
      case kOpen: return Open(packet, actions);
      case kWrite: return Write(packet, actions);
      case kClose: return Close(packet, actions);
      case kReset: return Reset(actions);
      default: return ReportError(actions, kErrorInvalidCommand, "invalid command");
    }
  }

 private:
  static void Reply(const std::vector<uint8_t>& packet, SimActions& actions) {
    actions.replies.push_back(SimReply{FrameReply(packet, true), 0});
  }

  // 0E, a 32-bit little-endian error code and a short text.
  static void ReportError(SimActions& actions, uint8_t error, const char* text) {
    std::vector<uint8_t> reply(5 + std::strlen(text));
    reply[0] = kStreamLog;
    reply[1] = error;
    std::copy(text, text + std::strlen(text), reply.begin() + 5);
    Reply(reply, actions);
  }

  // 02, target magic (32), version, compatible version, largest block (4),
  // flash base (4), name length, name, then the window size and sector count.
  void Hello(const std::vector<uint8_t>& packet, SimActions& actions) {
    if (packet.size() < 1 + kMagicLength || std::memcmp(packet.data() + 1, kHostMagic, kMagicLength) != 0)
      return ReportError(actions, kErrorBadPacket, "bad hello");
    open_type_.reset();  // a hello starts a new session: an image left open by an earlier host is dropped
    const std::string& name = options_.programmer.flash_name;
    const size_t name_length = std::min<size_t>(name.size(), 255);
    static constexpr uint8_t kVersions[] = {0x03, 0x03, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    static constexpr uint8_t kTail[] = {0x01, 0x00, 0x00, 0x04};
    std::vector<uint8_t> reply(1 + kMagicLength + sizeof kVersions + 1 + name_length + sizeof kTail);
    auto out = reply.begin();
    *out++ = kHelloReply;
    out = std::copy(kTargetMagic, kTargetMagic + kMagicLength, out);
    out = std::copy(std::begin(kVersions), std::end(kVersions), out);
    *out++ = static_cast<uint8_t>(name_length);  // at offset 43
    out = std::copy(name.begin(), name.begin() + static_cast<long>(name_length), out);
    std::copy(std::begin(kTail), std::end(kTail), out);
    Reply(reply, actions);
  }

  void SecurityMode(const std::vector<uint8_t>& packet, SimActions& actions) {
    if (packet.size() != 2) return ReportError(actions, kErrorBadPacket, "bad security mode");
    {
      std::lock_guard lock(device_.mutex);
      device_.security_mode = packet[1];
    }
    Reply({kSecurityModeReply}, actions);
  }

  // 19, override, table: a different table on the flash is reported (1A 01)
  // until the host overrides it, which erases the whole flash.
  void Partition(const std::vector<uint8_t>& packet, SimActions& actions) {
    if (packet.size() < 2) return ReportError(actions, kErrorBadPacket, "bad partition table");
    const bool override_table = packet[1] == 1;
    const std::vector<uint8_t> table(packet.begin() + 2, packet.end());
    std::lock_guard lock(device_.mutex);
    const bool mismatch = options_.programmer.partition_mismatch && !device_.partition_table_forced;
    if (mismatch && !override_table) return Reply({kPartitionReply, 0x01}, actions);
    if (override_table) {
      device_.flash.clear();
      ++device_.whole_flash_erasures;
      device_.partition_table_forced = true;
    }
    device_.partition_table = table;
    Reply({kPartitionReply, 0x00}, actions);
  }

  // 1B, type, header: opening the EFS image erases it.
  void Open(const std::vector<uint8_t>& packet, SimActions& actions) {
    if (packet.size() < 2) return ReportError(actions, kErrorBadPacket, "bad open");
    if (open_type_) return ReportError(actions, kErrorBadPacket, "image already open");
    const uint8_t type = packet[1];
    {
      std::lock_guard lock(device_.mutex);
      if (type == kEfsImage) {
        ++device_.efs_erasures;
      } else {
        SimFlashImage& image = device_.flash[type];
        image = SimFlashImage{};
        image.header.assign(packet.begin() + 2, packet.end());
      }
    }
    open_type_ = type;
    next_offset_ = 0;
    Reply({kOpenReply}, actions);
  }

  // 07, offset (4), data: blocks must follow each other without gap or overlap.
  void Write(const std::vector<uint8_t>& packet, SimActions& actions) {
    if (!open_type_ || *open_type_ == kEfsImage) return ReportError(actions, kErrorNotOpen, "no image open");
    if (packet.size() < 6) return ReportError(actions, kErrorBadPacket, "bad write");
    uint32_t offset = 0;
    for (int i = 3; i >= 0; --i) offset = offset << 8 | packet[1 + static_cast<size_t>(i)];
    if (offset != next_offset_) return ReportError(actions, kErrorBadOffset, "offset out of order");
    {
      std::lock_guard lock(device_.mutex);
      auto& data = device_.flash[*open_type_].data;
      data.insert(data.end(), packet.begin() + 5, packet.end());
    }
    next_offset_ += static_cast<uint32_t>(packet.size() - 5);
    Reply({kWriteReply, packet[1], packet[2], packet[3], packet[4]}, actions);
  }

  void Close(const std::vector<uint8_t>& packet, SimActions& actions) {
    if (!open_type_) return ReportError(actions, kErrorNotOpen, "no image open");
    if (*open_type_ != kEfsImage) {
      std::lock_guard lock(device_.mutex);
      device_.flash[*open_type_].closed = true;
    }
    open_type_.reset();
    Reply({kCloseReply}, actions);
  }

  // Acknowledges, then the module restarts its firmware: every port vanishes a while.
  // A reset after images were written completes a download: the firmware that
  // comes back reports the new revision.
  void Reset(SimActions& actions) {
    bool completed = false;
    {
      std::lock_guard lock(device_.mutex);
      completed = !device_.flash.empty();
      if (completed) ++device_.downloads;
    }
    if (completed) device_.nv.OnDownloadCompleted();
    Reply({kResetReply}, actions);
    actions.reenumerate = Reenumerate{Reenumerate::Ports::kAll, options_.programmer.reboot_delay_ms, SimState::kFirmware,
                                      options_.programmer.reset_leave_ms};
  }

  const SimModuleOptions& options_;
  SimDevice& device_;
  std::optional<uint8_t> open_type_;
  uint32_t next_offset_ = 0;
};

}  // namespace

std::unique_ptr<SimProgram> MakeProgrammer(const SimModuleOptions& options, SimDevice& device) {
  return std::make_unique<Programmer>(options, device);
}

}  // namespace sim
