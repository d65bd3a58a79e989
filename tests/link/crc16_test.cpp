#include "link/crc16.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Crc16, MatchesTheX25CheckValue) {
  const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(vek::Crc16(digits, 9 * 8), 0x906E);
}

TEST(Crc16, TableStartsWithTheReflectedPolynomialEntries) {
  EXPECT_EQ(vek::kCrc16Table[0], 0x0000);
  EXPECT_EQ(vek::kCrc16Table[1], 0x1189);
  EXPECT_EQ(vek::kCrc16Table[2], 0x2312);
  EXPECT_EQ(vek::kCrc16Table[3], 0x329B);
  EXPECT_EQ(vek::kCrc16Table[255], 0x0F78);
}

TEST(Crc16, GivesTheCrcsOfKnownFrames) {
  const uint8_t nop[] = {0x06};
  EXPECT_EQ(vek::Crc16(nop, 8), 0x954E);
  const uint8_t go[] = {0x05, 0x00, 0x80, 0x00, 0x00};
  EXPECT_EQ(vek::Crc16(go, 5 * 8), 0xE5CF);
  const uint8_t ack[] = {0x02};
  EXPECT_EQ(vek::Crc16(ack, 8), 0xD36A);
}

TEST(Crc16, CountsOnlyWholeBytes) {
  const uint8_t data[] = {0x06, 0xFF};
  EXPECT_EQ(vek::Crc16(data, 15), vek::Crc16(data, 8));
  EXPECT_EQ(vek::Crc16(data, 0), 0x0000);
}

}  // namespace

namespace {

// The definition itself, one bit at a time.
uint16_t BitwiseCrc(const std::vector<uint8_t>& data) {
  uint16_t crc = 0xFFFF;
  for (uint8_t byte : data) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408) : crc >> 1;
  }
  return static_cast<uint16_t>(~crc);
}

TEST(Crc16, AgreesWithTheBitwiseDefinitionForEveryLengthAndAlignment) {
  std::vector<uint8_t> bytes(1100);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>((i * 2654435761u) >> 11);
  for (size_t offset = 0; offset < 8; ++offset)
    for (size_t length : {size_t{1}, size_t{7}, size_t{8}, size_t{9}, size_t{15}, size_t{16}, size_t{17},
                          size_t{31}, size_t{32}, size_t{33}, size_t{48}, size_t{135}, size_t{1029}, size_t{1031}, size_t{1090}}) {
      const std::vector<uint8_t> part(bytes.begin() + static_cast<long>(offset),
                                      bytes.begin() + static_cast<long>(offset + length));
      EXPECT_EQ(vek::Crc16(part.data(), static_cast<int>(length * 8)), BitwiseCrc(part))
          << "offset " << offset << ", length " << length;
    }
}

}  // namespace
