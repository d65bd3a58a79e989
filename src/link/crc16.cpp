#include "link/crc16.h"

namespace vek {
namespace {

constexpr std::array<uint16_t, 256> MakeTable() {
  std::array<uint16_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint16_t value = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) value = (value & 1) ? static_cast<uint16_t>((value >> 1) ^ 0x8408) : static_cast<uint16_t>(value >> 1);
    table[i] = value;
  }
  return table;
}

}  // namespace

const std::array<uint16_t, 256> kCrc16Table = MakeTable();

uint16_t Crc16(const uint8_t* data, int bit_count) {
  uint16_t crc = 0xFFFF;
  if (data == nullptr || bit_count <= 0) return static_cast<uint16_t>(~crc);
  const int bytes = bit_count / 8;
  for (int i = 0; i < bytes; ++i) crc = static_cast<uint16_t>(kCrc16Table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8));
  return static_cast<uint16_t>(~crc);
}

}  // namespace vek
