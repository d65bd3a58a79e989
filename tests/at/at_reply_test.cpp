#include "at/at_reply.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(AtReplyValues, RunFromTheKeywordToTheNextLineEnd) {
  const std::string reply = "Manufacturer: X\r\nRevision: ABC_HY1\r\nIMEI: 123\r\n\r\nOK\r\n";
  EXPECT_EQ(vek::ReplyValue(reply, "Revision:"), " ABC_HY1");
  EXPECT_EQ(vek::ReplyValue(reply, "IMEI:"), " 123");
  EXPECT_EQ(vek::ReplyValue(reply, "MEID:"), "");
  EXPECT_EQ(vek::ReplyValue("Revision:\r\n", "Revision:"), "");
}

TEST(AtReplyValues, StayInsideTheirFields) {
  // No line end after the keyword: the value runs to the end of the reply, cut to 49.
  EXPECT_EQ(vek::ReplyValue("Revision: V2", "Revision:"), " V2");
  const std::string long_value(300, 'A');
  EXPECT_EQ(vek::ReplyValue("Revision:" + long_value + "\r\n", "Revision:"), std::string(49, 'A'));
  // A lone CR or LF does not end a value.
  EXPECT_EQ(vek::ReplyValue("Revision: A\rB\nC\r\n", "Revision:"), " A\rB\nC");
}

TEST(ProductIds, AreTwoDecimalNumbersSplitAtTheFirstComma) {
  auto ids = vek::ParseProductIds(" 12,34");
  EXPECT_EQ(ids.m, 12);
  EXPECT_EQ(ids.d, 34);
  ids = vek::ParseProductIds(" 7");
  EXPECT_EQ(ids.m, 7);
  EXPECT_EQ(ids.d, 0);
  ids = vek::ParseProductIds("-3, +8,9");
  EXPECT_EQ(ids.m, -3);
  EXPECT_EQ(ids.d, 8);
  ids = vek::ParseProductIds("x,");
  EXPECT_EQ(ids.m, 0);
  EXPECT_EQ(ids.d, 0);
}

TEST(ProductIds, ReadAtMostNineCharactersAndNeverOverflow) {
  EXPECT_EQ(vek::ProductIdOfText("12345678901234567890"), 123456789);
  EXPECT_EQ(vek::ProductIdOfText("-99999999999"), -99999999);
  EXPECT_EQ(vek::ProductIdOfText("          5"), 0);  // nine blanks use up the part
  EXPECT_EQ(vek::ProductIdOfText("42abc"), 42);
}

}  // namespace
