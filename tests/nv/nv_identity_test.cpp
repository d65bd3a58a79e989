#include "nv/nv_identity.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::string Imei(Bytes data) {
  data.resize(128);
  return vek::ImeiText(data.data());
}

std::string Meid(Bytes data) {
  data.resize(128);
  return vek::MeidText(data.data());
}

TEST(ImeiText, ReadsTheBcdDigitsAfterTheTypeNibble) {
  EXPECT_EQ(Imei({0x08, 0x3A, 0x49, 0x01, 0x23, 0x45, 0x67, 0x89, 0x01}), "394103254769810");
  EXPECT_EQ(Imei({0x08, 0x3A, 0x49, 0x01, 0x23, 0x45, 0x67, 0x89, 0xF1}), "39410325476981");
  EXPECT_EQ(Imei({0x02, 0x3A, 0x49}), "394");
}

TEST(ImeiText, IsEmptyForNoOrTooManyBytesAndHoldsOnlyDigits) {
  EXPECT_EQ(Imei({0x00, 0x3A, 0x49}), "");
  EXPECT_EQ(Imei({0x09, 0x3A, 0x49, 0x01, 0x23, 0x45, 0x67, 0x89, 0x01, 0x11}), "");
  // A first digit above 9 ends the text before it starts: no ':' or '/' ever reaches a file name.
  EXPECT_EQ(Imei({0x08, 0xFA, 0x49, 0x01, 0x23, 0x45, 0x67, 0x89, 0x01}), "");
  EXPECT_EQ(Imei({0x08, 0x3A, 0x4F}), "3");
}

TEST(MeidText, IsHexWithoutLeadingZerosAfter00) {
  EXPECT_EQ(Meid({0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0xA0, 0x00}), "0078563412");
  EXPECT_EQ(Meid({0x0A, 0x7B}), "00a7b");
  EXPECT_EQ(Meid({}), "00");
  const std::string full = Meid(Bytes(128, 0xFF));
  EXPECT_EQ(full.size(), 39u);
  EXPECT_EQ(full.substr(0, 5), "00fff");
}

TEST(IdentityCopyName, AcceptsOnlyDigitsAndHex) {
  EXPECT_EQ(vek::IdentityCopyName("394103254769810"), "394103254769810.nvb");
  EXPECT_EQ(vek::IdentityCopyName("0078563412"), "0078563412.nvb");
  for (const std::string& bad : {std::string(), std::string("../x"), std::string("a/b"), std::string("12:3"),
                               std::string("ABC"), std::string(40, '1')})
    EXPECT_EQ(vek::IdentityCopyName(bad), "") << bad;
}

}  // namespace
