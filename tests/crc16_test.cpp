#include "link/crc16.h"

#include <gtest/gtest.h>

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
