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

// Eight bytes at a time: entry [k][x] is what byte x contributes when k more
// bytes follow it. A 1 KiB block then costs a quarter of the byte-wise loop,
// which matters because every block waits for its CRC on both sides.
using SliceTables = std::array<std::array<uint16_t, 256>, 8>;

constexpr SliceTables MakeSliceTables() {
  SliceTables tables{};
  tables[0] = MakeTable();
  for (int k = 1; k < 8; ++k)
    for (int x = 0; x < 256; ++x) {
      const uint16_t previous = tables[k - 1][x];
      tables[k][x] = static_cast<uint16_t>((previous >> 8) ^ tables[0][previous & 0xFF]);
    }
  return tables;
}

constexpr SliceTables kSlices = MakeSliceTables();

}  // namespace

const std::array<uint16_t, 256> kCrc16Table = MakeTable();

uint16_t Crc16(const uint8_t* data, int bit_count) {
  uint16_t crc = 0xFFFF;
  if (data == nullptr || bit_count <= 0) return static_cast<uint16_t>(~crc);
  const int bytes = bit_count / 8;
  int i = 0;
  for (; i + 8 <= bytes; i += 8) {
    const uint8_t* p = data + i;
    crc = static_cast<uint16_t>(kSlices[7][(p[0] ^ crc) & 0xFF] ^ kSlices[6][(p[1] ^ (crc >> 8)) & 0xFF] ^
                                kSlices[5][p[2]] ^ kSlices[4][p[3]] ^ kSlices[3][p[4]] ^ kSlices[2][p[5]] ^
                                kSlices[1][p[6]] ^ kSlices[0][p[7]]);
  }
  for (; i < bytes; ++i) crc = static_cast<uint16_t>(kCrc16Table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8));
  return static_cast<uint16_t>(~crc);
}

}  // namespace vek
