// The frame check sequence of every frame: CRC-16/X-25 (reflected polynomial
// 0x8408, seed 0xFFFF, complemented), appended to a packet low byte first.
#pragma once

#include <array>
#include <cstdint>

namespace vek {

// Entry i is i shifted eight times through the reflected polynomial.
extern const std::array<uint16_t, 256> kCrc16Table;

// CRC over `bit_count` / 8 whole bytes of `data`, already complemented.
uint16_t Crc16(const uint8_t* data, int bit_count);

}  // namespace vek
