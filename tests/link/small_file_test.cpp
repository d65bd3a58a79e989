#include "link/small_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "test_support.h"

namespace {

void Write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

TEST(SmallFile, AFileOfTheLimitIsWholeAndALongerOneRefusedOrCut) {
  vektest::TempDir dir;
  const std::string path = dir.File("text");
  Write(path, std::string(10000, 'a'));  // longer than one read
  EXPECT_EQ(vek::ReadSmallFile(path, 10000, vek::TooLarge::kNothing).size(), 10000u);
  EXPECT_EQ(vek::ReadSmallFile(path, 9999, vek::TooLarge::kNothing), "");
  EXPECT_EQ(vek::ReadSmallFile(path, 9999, vek::TooLarge::kCut), std::string(9999, 'a'));
}

TEST(SmallFile, WhatIsNotARegularFileGivesNothingAndNeverBlocks) {
  vektest::TempDir dir;
  const std::string fifo = dir.File("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(vek::ReadSmallFile(fifo, 100, vek::TooLarge::kCut), "");  // no writer: would block a plain read
  EXPECT_EQ(vek::ReadSmallFile(dir.path(), 100, vek::TooLarge::kCut), "");
  EXPECT_EQ(vek::ReadSmallFile(dir.File("missing"), 100, vek::TooLarge::kCut), "");
}

}  // namespace
