#include "app/log_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "records/job_records.h"
#include "records/reporting.h"
#include "test_support.h"

namespace {

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The file split at CR LF; false when a CR or LF appears anywhere else.
bool SplitCrLfLines(const std::string& text, std::vector<std::string>& lines) {
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string::npos) return false;
    std::string line = text.substr(start, end - start);
    if (line.find_first_of("\r\n") != std::string::npos) return false;
    lines.push_back(line);
    start = end + 2;
  }
  return true;
}

// The descriptors of this process open on `path` (other descriptors come and go
// with whatever else runs in the process).
int DescriptorsOpenOn(const std::string& path) {
  std::error_code error;
  const std::filesystem::path file = std::filesystem::canonical(path, error);
  if (error) return -1;
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    std::error_code link_error;
    if (std::filesystem::read_symlink(entry.path(), link_error) == file) ++count;
  }
  return error ? -1 : count;
}

class LogFileTest : public ::testing::Test {
 protected:
  vektest::TempDir dir_;
  std::string path_ = dir_.File("vek.log");
  vek::LogFile log_;
};

TEST_F(LogFileTest, EachEntryIsOneLineEndedByCrLf) {
  ASSERT_TRUE(log_.Open(path_));
  EXPECT_TRUE(log_.Write("Button: cnt=2"));
  EXPECT_TRUE(log_.Write(""));
  EXPECT_TRUE(log_.Write("Error: NV_READ_F timeout!\r\n"));  // its own line end is not doubled
  EXPECT_TRUE(log_.Write("interface type:a\nb\rc\r\nd"));    // inner breaks become CR LF
  EXPECT_TRUE(log_.Write(std::string("cut\0here", 8)));
  EXPECT_EQ(Contents(path_),
            "Button: cnt=2\r\n\r\nError: NV_READ_F timeout!\r\ninterface type:a\r\nb\r\nc\r\nd\r\ncut\r\n");
}

TEST_F(LogFileTest, EntriesAreCutAt197Characters) {
  ASSERT_TRUE(log_.Open(path_));
  log_.Write(std::string(197, 'a'));
  log_.Write(std::string(500, 'b'));
  EXPECT_EQ(Contents(path_), std::string(197, 'a') + "\r\n" + std::string(197, 'b') + "\r\n");
}

TEST_F(LogFileTest, NothingIsWrittenWhileClosed) {
  EXPECT_FALSE(log_.Write("before any open"));
  ASSERT_TRUE(log_.Open(path_));
  log_.Write("during the run");
  log_.Close();
  EXPECT_FALSE(log_.IsOpen());
  EXPECT_FALSE(log_.Write("device monitoring between runs"));
  EXPECT_EQ(Contents(path_), "during the run\r\n");
  EXPECT_TRUE(log_.WriteToLastRun("late"));  // the run's own late word, never into a file made again
  EXPECT_EQ(Contents(path_), "during the run\r\nlate\r\n");
  std::filesystem::remove(path_);
  EXPECT_TRUE(!log_.WriteToLastRun("late") && !std::filesystem::exists(path_));
}

TEST_F(LogFileTest, ReopeningStartsAnEmptyLogWithoutLeakingTheOldDescriptor) {
  std::ofstream(path_) << "left from an earlier start\r\n";
  ASSERT_TRUE(log_.Open(path_));
  EXPECT_EQ(Contents(path_), "");  // start-up empties the file
  log_.Write("first run");
  log_.Close();
  ASSERT_TRUE(log_.Reopen());
  log_.Write("second run");
  EXPECT_EQ(Contents(path_), "second run\r\n");

  // Opening again while still open (no run ended in between) closes the old stream.
  ASSERT_EQ(DescriptorsOpenOn(path_), 1);
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(log_.Reopen());
  EXPECT_EQ(DescriptorsOpenOn(path_), 1);
  log_.Write("third run");
  EXPECT_EQ(Contents(path_), "third run\r\n");
}

TEST_F(LogFileTest, AFileThatCannotBeCreatedLeavesLoggingOff) {
  EXPECT_FALSE(log_.Open(dir_.File("missing-folder/vek.log")));
  EXPECT_FALSE(log_.IsOpen());
  EXPECT_FALSE(log_.Write("lost"));
  EXPECT_FALSE(log_.Reopen());
}

TEST_F(LogFileTest, ConcurrentWritersNeverInterleaveWithinAnEntry) {
  ASSERT_TRUE(log_.Open(path_));
  constexpr int kThreads = 6;
  constexpr int kEntries = 2000;
  std::set<std::string> expected;
  std::vector<std::vector<std::string>> entries(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEntries; ++i) {
      // Lengths from short to the full 197 characters, one letter per thread.
      std::string entry = "t" + std::to_string(t) + " e" + std::to_string(i) + " ";
      entry.append(static_cast<size_t>((i * 37) % 185), static_cast<char>('a' + t));
      entries[t].push_back(entry);
      expected.insert(entry);
    }
  }
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (const std::string& entry : entries[t]) log_.Write(entry);
    });
  }
  for (std::thread& w : writers) w.join();

  std::vector<std::string> lines;
  ASSERT_TRUE(SplitCrLfLines(Contents(path_), lines));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kEntries));
  std::string first_broken;
  for (const std::string& line : lines) {
    if (expected.erase(line) == 0 && first_broken.empty()) first_broken = line;
  }
  EXPECT_TRUE(expected.empty()) << expected.size() << " entries missing; first broken line: " << first_broken;
}

TEST(LogFileAsLogSink, WriteLogEntriesLandInVekLogOfTheWorkingDirectory) {
  vektest::TempDir dir;
  const std::string previous = vek::CurrentDirectory();
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  const bool opened = vek::OpenLogFile();
  ASSERT_EQ(chdir(previous.c_str()), 0);
  ASSERT_TRUE(opened);

  vek::UpgradeJob& job = vek::TheJob();
  job.write_log("monitoring");
  ASSERT_TRUE(vek::PrepareRunLog());  // first "start": same file
  job.write_log("Button: cnt=%d", 2);
  job.write_log("%s", std::string(300, 'x').c_str());
  vek::CloseLogFile();
  job.write_log("after the run");
  EXPECT_EQ(Contents(dir.File("vek.log")), "monitoring\r\nButton: cnt=2\r\n" + std::string(197, 'x') + "\r\n");

  ASSERT_TRUE(vek::PrepareRunLog());  // later "start": a fresh file
  job.write_log("next run");
  EXPECT_EQ(Contents(dir.File("vek.log")), "next run\r\n");
  vek::CloseLogFile();
  vek::SetLogSink(nullptr);
}

}  // namespace
