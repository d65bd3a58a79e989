#include "images/hex_programmer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::span<const uint8_t> TextOf(const std::string& text, size_t length = std::string::npos) {
  return {reinterpret_cast<const uint8_t*>(text.data()), std::min(length, text.size())};
}

// Converts the text (or its first `length` characters) into `out`.
bool Convert(const std::string& text, Bytes& out, size_t length = std::string::npos) {
  out = {0xEE};  // must be replaced whatever happens
  return vek::ConvertHexProgrammer(TextOf(text, length), out);
}

TEST(HexByte, AcceptsHexDigitsOfEitherCaseInEitherPosition) {
  uint8_t value = 0;
  ASSERT_TRUE(vek::HexByte('0', '0', value));
  EXPECT_EQ(value, 0x00);
  ASSERT_TRUE(vek::HexByte('9', 'f', value));
  EXPECT_EQ(value, 0x9F);
  ASSERT_TRUE(vek::HexByte('a', 'B', value));
  EXPECT_EQ(value, 0xAB);
  ASSERT_TRUE(vek::HexByte('F', 'F', value));
  EXPECT_EQ(value, 0xFF);
  // Neighbours of the digit ranges and other characters are refused.
  for (char bad : {'G', 'g', '/', ':', '@', '`', ' ', '\0', '\xC1'}) {
    EXPECT_FALSE(vek::HexByte(bad, '0', value)) << static_cast<int>(bad);
    EXPECT_FALSE(vek::HexByte('0', bad, value)) << static_cast<int>(bad);
  }
}

TEST(ConvertHexProgrammer, KeepsOnlyTheDataBytesOfTheRecords) {
  Bytes out;
  // Address record, data record, end-of-file record.
  ASSERT_TRUE(Convert(":0200000400807A\r\n:0400000001020304F2\r\n:00000001FF\r\n", out));
  EXPECT_EQ(out, (Bytes{0x01, 0x02, 0x03, 0x04}));
  // Line ends play no part.
  ASSERT_TRUE(Convert(":0200000400807A:0400000001020304F2:00000001FF", out));
  EXPECT_EQ(out, (Bytes{0x01, 0x02, 0x03, 0x04}));
  // Checksums are not looked at.
  ASSERT_TRUE(Convert(":0200000400807A\n:040000000102030400\n", out));
  EXPECT_EQ(out, (Bytes{0x01, 0x02, 0x03, 0x04}));
  // Lower-case digits.
  ASSERT_TRUE(Convert(":02000000abcd86\n", out));
  EXPECT_EQ(out, (Bytes{0xAB, 0xCD}));
  ASSERT_TRUE(Convert(":02000000aBCd86\n", out));
  EXPECT_EQ(out, (Bytes{0xAB, 0xCD}));
}

TEST(ConvertHexProgrammer, AppendsRecordsInTextOrderWhateverTheirTypeOrOffset) {
  Bytes out;
  const std::string text =
      ":02001000AAAA00\n"   // offset 0x10
      ":00000001FF\n"       // end of file does not stop the scan
      ":02000000BBBB00\n"   // offset 0 comes later in the text: stays later
      ":0400000312345678E5\n"  // start address record: skipped
      ":02000002zzzz00\n"   // segment address record with garbage: skipped
      ":0200000501020000\n"  // type 05: skipped
      ":01002000CC00\n";
  ASSERT_TRUE(Convert(text, out));
  EXPECT_EQ(out, (Bytes{0xAA, 0xAA, 0xBB, 0xBB, 0xCC}));
}

TEST(ConvertHexProgrammer, AnInvalidPairInADataOrAddressRecordFails) {
  Bytes out;
  EXPECT_FALSE(Convert(":0400000001G10304F2\n", out));  // a data byte
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(Convert(":0G00000001020304F2\n", out));  // the byte count
  EXPECT_FALSE(Convert(":020000040G807A\n:0100000001FE\n", out));  // the address
  EXPECT_FALSE(Convert(":0100000001FE\n:04000000010:0304F2\n", out));  // a ':' where a byte stands
}

TEST(ConvertHexProgrammer, ARecordCutByTheEndOfTheTextGivesNoByteBeyondIt) {
  // The text handed over is a prefix of this buffer: bytes past it must never be read.
  const std::string full = ":0100000011EE\n:0400000001020304F2";
  const size_t second = full.find(":04");
  Bytes out;
  for (size_t cut = second + 1; cut < second + 17; ++cut) {
    EXPECT_FALSE(Convert(full, out, cut)) << "cut at " << cut - second;
    EXPECT_TRUE(out.empty());
  }
  // All data present, only the checksum cut: the data converts.
  ASSERT_TRUE(Convert(full, out, second + 17));
  EXPECT_EQ(out, (Bytes{0x11, 0x01, 0x02, 0x03, 0x04}));
  // A cut record of a skipped type is still skipped.
  ASSERT_TRUE(Convert(":0100000011EE\n:0200000312", out));
  EXPECT_EQ(out, (Bytes{0x11}));
}

TEST(ConvertHexProgrammer, OverlappingRecordsCannotGrowTheImagePastHalfTheText) {
  // The second ':' stands in the first record's offset field, so both records
  // claim 255 bytes from nearly the same characters.
  const std::string text = ":FF:FF000" + std::string(513, '0');
  Bytes out;
  EXPECT_FALSE(Convert(text, out));
  EXPECT_TRUE(out.empty());
}

}  // namespace
