#include "link/crc16.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VEK_CRC16_FOLDING 1
#endif

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

#ifdef VEK_CRC16_FOLDING
// Sixteen bytes at a time by carry-less multiplication, where the processor has
// it (a tenth of the table's work for an image block). The register's 128 bits
// stand for a message whose remainder is that of the bytes so far: moved 16
// bytes on, its low and high halves become their products with x^143 and x^79
// mod the polynomial (bit-reflected: 0x8E10, 0x81BF), a value of fewer than 128
// bits with the same remainder, and the next 16 bytes are added. The seed is
// the same as adding 0xFFFF to the first two bytes; the last register and the
// bytes after it go through the table. `bytes` is at least 32.
__attribute__((target("pclmul,sse2"))) uint16_t FoldedCrc16(const uint8_t* data, int bytes) {
  const __m128i powers = _mm_set_epi64x(0x81BF, 0x8E10);
  __m128i folded = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data)), _mm_cvtsi32_si128(0xFFFF));
  int i = 16;
  for (; i + 16 <= bytes; i += 16) {
    const __m128i moved =
        _mm_xor_si128(_mm_clmulepi64_si128(folded, powers, 0x00), _mm_clmulepi64_si128(folded, powers, 0x11));
    folded = _mm_xor_si128(moved, _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i)));
  }
  uint8_t last[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(last), folded);
  uint16_t crc = 0;
  for (const uint8_t byte : last) crc = static_cast<uint16_t>(kSlices[0][(crc ^ byte) & 0xFF] ^ (crc >> 8));
  for (; i < bytes; ++i) crc = static_cast<uint16_t>(kSlices[0][(crc ^ data[i]) & 0xFF] ^ (crc >> 8));
  return static_cast<uint16_t>(~crc);
}
#endif

}  // namespace

const std::array<uint16_t, 256> kCrc16Table = MakeTable();

uint16_t Crc16(const uint8_t* data, int bit_count) {
  uint16_t crc = 0xFFFF;
  if (data == nullptr || bit_count <= 0) return static_cast<uint16_t>(~crc);
  const int bytes = bit_count / 8;
#ifdef VEK_CRC16_FOLDING
  if (bytes >= 32 && __builtin_cpu_supports("pclmul")) return FoldedCrc16(data, bytes);
#endif
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
