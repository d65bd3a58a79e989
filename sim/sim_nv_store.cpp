#include "sim/sim_nv_store.h"

#include <algorithm>

#include "link/crc16.h"
#include "link/hdlc_frame.h"
#include "nv/nv_item_table.h"

namespace sim {
namespace {

constexpr uint8_t kNvRead = 0x26;
constexpr uint8_t kNvWrite = 0x27;
constexpr uint8_t kBadParameters = 0x14;
constexpr uint8_t kBadPacket = 0x13;
constexpr size_t kRequestLength = 133;
constexpr uint16_t kImeiItem = 550;
constexpr uint16_t kMeidItem = 1943;
constexpr uint32_t kDefaultsSeed = 0xDEFA;  // what a download leaves in every item

// A small fast generator: the same seed gives the same module.
uint64_t SplitMix(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::vector<uint8_t> Refusal(uint8_t code, const std::vector<uint8_t>& request) {
  std::vector<uint8_t> reply(request.size() + 1);
  reply[0] = code;
  std::copy(request.begin(), request.end(), reply.begin() + 1);
  return reply;
}

std::vector<uint8_t> FrameWithWrongCrc(const std::vector<uint8_t>& packet) {
  std::vector<uint8_t> with_crc = packet;
  const uint16_t crc = static_cast<uint16_t>(~vek::Crc16(packet.data(), static_cast<int>(packet.size() * 8)));
  with_crc.push_back(static_cast<uint8_t>(crc & 0xFF));
  with_crc.push_back(static_cast<uint8_t>(crc >> 8));
  std::vector<uint8_t> out(with_crc.size() * 2 + 2);
  out.resize(vek::EncodeFrame(with_crc.data(), with_crc.size(), false, out.data()));
  return out;
}

}  // namespace

SimNvStore::SimNvStore() { Configure(NvOptions{}); }

void SimNvStore::Configure(const NvOptions& options) {
  std::lock_guard lock(mutex_);
  options_ = options;
  bad_crc_left_ = options.bad_crc_item >= 0 ? options.bad_crc_times : 0;
  writes_.clear();
  Seed(options.seed);
  SetIdentity();
}

void SimNvStore::Reseed(uint32_t seed) {
  std::lock_guard lock(mutex_);
  Seed(seed);
  SetIdentity();
}

void SimNvStore::OnDownloadCompleted() {
  std::lock_guard lock(mutex_);
  if (!options_.reset_by_download) return;
  Seed(kDefaultsSeed);
  SetIdentity();
}

void SimNvStore::SetWriteRefusal(uint8_t code) {
  std::lock_guard lock(mutex_);
  options_.write_refusal = code;
}

void SimNvStore::Seed(uint32_t seed) {
  uint64_t state = seed;
  items_.assign(kItemCount, {});
  for (uint16_t id = 0; id < kItemCount; ++id) {
    const int count = vek::NvItemTable[id].count;
    items_[id].resize(count == 0 ? 1 : count);
    for (size_t e = 0; e < items_[id].size(); ++e) {
      NvBytes& bytes = items_[id][e];
      for (size_t i = 0; i < bytes.size(); i += 8) {
        const uint64_t r = SplitMix(state);
        for (size_t k = 0; k < 8; ++k) bytes[i + k] = static_cast<uint8_t>(r >> (8 * k));
      }
      if (count > 0) bytes[0] = static_cast<uint8_t>(e);
    }
  }
}

void SimNvStore::SetIdentity() {
  NvBytes& imei = items_[kImeiItem][0];
  imei.fill(0);
  std::copy_n(options_.imei_item.begin(), std::min(options_.imei_item.size(), imei.size()), imei.begin());
  NvBytes& meid = items_[kMeidItem][0];
  meid.fill(0);
  std::copy_n(options_.meid_item.begin(), std::min(options_.meid_item.size(), meid.size()), meid.begin());
}

uint16_t SimNvStore::ReadStatus(uint16_t item) {
  if (item >= kItemCount || vek::NvItemTable[item].count != 0) return 0;
  return item % 250 == 100 ? kNotActiveStatus : 0;
}

NvBytes SimNvStore::Element(uint16_t item, int index) const {
  std::lock_guard lock(mutex_);
  if (item >= kItemCount || index < 0 || static_cast<size_t>(index) >= items_[item].size()) return {};
  return items_[item][index];
}

std::vector<std::vector<NvBytes>> SimNvStore::Snapshot() const {
  std::lock_guard lock(mutex_);
  return items_;
}

std::vector<SimNvWrite> SimNvStore::Writes() const {
  std::lock_guard lock(mutex_);
  return writes_;
}

std::vector<uint8_t> SimNvStore::Answer(const std::vector<uint8_t>& request, bool& silent, bool& bad_crc) {
  if (request.size() < kRequestLength) return Refusal(kBadParameters, request);
  const uint8_t command = request[0];
  const uint16_t item = static_cast<uint16_t>(request[1] | (request[2] << 8));
  if (options_.silent_from_item >= 0 && item >= options_.silent_from_item) {
    silent = true;
    return {};
  }
  if (item >= kItemCount) return Refusal(kBadParameters, request);
  std::vector<NvBytes>& elements = items_[item];
  const bool is_array = vek::NvItemTable[item].count != 0;
  const size_t index = is_array ? request[3] : 0;
  if (index >= elements.size()) return Refusal(kBadParameters, request);

  std::vector<uint8_t> reply(request.begin(), request.begin() + kRequestLength);
  if (command == kNvWrite && options_.write_refusal != 0) return Refusal(options_.write_refusal, request);
  if (command == kNvWrite) {
    SimNvWrite write{item, {}};
    std::copy_n(request.begin() + 3, write.data.size(), write.data.begin());
    elements[index] = write.data;
    writes_.push_back(write);
    reply[131] = reply[132] = 0;
  } else {
    std::copy(elements[index].begin(), elements[index].end(), reply.begin() + 3);
    const uint16_t status = ReadStatus(item);
    reply[131] = static_cast<uint8_t>(status & 0xFF);
    reply[132] = static_cast<uint8_t>(status >> 8);
    if (item == options_.bad_crc_item && bad_crc_left_ > 0) {
      --bad_crc_left_;
      bad_crc = true;
    }
  }
  return reply;
}

void SimNvStore::OnFrame(const DecodedFrame& frame, SimActions& actions) {
  std::vector<uint8_t> reply;
  bool silent = false;
  bool bad_crc = false;
  {
    std::lock_guard lock(mutex_);
    reply = frame.crc_ok ? Answer(frame.packet, silent, bad_crc) : Refusal(kBadPacket, frame.packet);
  }
  if (silent) return;
  actions.replies.push_back(SimReply{bad_crc ? FrameWithWrongCrc(reply) : FrameReply(reply, false), 0});
}

}  // namespace sim
