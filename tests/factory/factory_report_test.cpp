// vek-factory's report file holds whole lines only: a line cut short (a crash
// in the middle of a write) is taken away when the file is opened next.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "factory/factory_report.h"
#include "test_support.h"

namespace {

using vekfactory::ReportFile;

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Opens `path`, appends `lines`; what the file holds then, and whether a cut line was removed.
std::pair<std::string, bool> OpenAndAppend(const std::string& path, const std::vector<std::string>& lines) {
  std::string error;
  bool repaired = false;
  auto report = ReportFile::Open(path, error, repaired);
  EXPECT_TRUE(report) << error;
  for (const std::string& line : lines) {
    if (report) {
      EXPECT_TRUE(report->Append(line));
    }
  }
  return {Read(path), repaired};
}

TEST(FactoryReport, LinesAreAppendedWholeAndACutLastLineIsRemovedAtOpen) {
  vektest::TempDir dir;
  const std::string path = dir.File("report.jsonl");
  EXPECT_EQ(OpenAndAppend(path, {"{\"a\":1}", "{\"b\":2}"}), std::make_pair(std::string("{\"a\":1}\n{\"b\":2}\n"), false));
  // A later run appends after the lines there.
  EXPECT_EQ(OpenAndAppend(path, {"{\"c\":3}"}).first, "{\"a\":1}\n{\"b\":2}\n{\"c\":3}\n");

  // Cut in the middle of the last line: that line goes, the next one starts clean.
  Write(path, "{\"a\":1}\n{\"b\":");
  EXPECT_EQ(OpenAndAppend(path, {"{\"c\":3}"}), std::make_pair(std::string("{\"a\":1}\n{\"c\":3}\n"), true));
  // A cut line longer than one read of the repair, after a short whole one.
  Write(path, "{}\n" + std::string(10000, 'x'));
  EXPECT_EQ(OpenAndAppend(path, {}), std::make_pair(std::string("{}\n"), true));
  // No whole line at all.
  Write(path, std::string(5000, 'y'));
  EXPECT_EQ(OpenAndAppend(path, {"{}"}), std::make_pair(std::string("{}\n"), true));
  // An empty file is whole.
  Write(path, "");
  EXPECT_EQ(OpenAndAppend(path, {}), std::make_pair(std::string(), false));
}

TEST(FactoryReport, WhatCannotBeAReportIsRefusedAndLeftAlone) {
  vektest::TempDir dir;
  std::string error;
  bool repaired = false;
  EXPECT_FALSE(ReportFile::Open(dir.path(), error, repaired));
  EXPECT_NE(error.find(dir.path()), std::string::npos) << error;
  EXPECT_FALSE(ReportFile::Open(dir.File("missing/report"), error, repaired));
  // A symbolic link is not followed: its target, cut line and all, stays as it is.
  Write(dir.File("target"), "cut");
  std::filesystem::create_symlink(dir.File("target"), dir.File("link"));
  EXPECT_FALSE(ReportFile::Open(dir.File("link"), error, repaired));
  EXPECT_EQ(Read(dir.File("target")), "cut");
}

}  // namespace
