#include "app/launch_options.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <random>
#include <string>

#include "app/profile_file.h"
#include "records/job_records.h"
#include "test_support.h"

namespace {

class LaunchOptionsFile : public ::testing::Test {
 protected:
  LaunchOptionsFile() : path_(dir_.File("config.ini")) {}

  vek::LaunchOptions ReadText(const std::string& text) {
    std::ofstream(path_, std::ios::binary) << text;
    return vek::ReadLaunchOptions(path_);
  }

  static void ExpectDefaults(const vek::LaunchOptions& options) {
    EXPECT_EQ(options.backup, "1");
    EXPECT_EQ(options.restore, "1");
    EXPECT_EQ(options.download, "1");
    EXPECT_EQ(options.erase_efs, "0");
  }

  vektest::TempDir dir_;
  std::string path_;
};

TEST_F(LaunchOptionsFile, MissingFileGivesTheDefaults) {
  const vek::LaunchOptions options = vek::ReadLaunchOptions(path_);
  ExpectDefaults(options);
  EXPECT_EQ(options.backup_enable(), 1);
  EXPECT_EQ(options.restore_enable(), 1);
  EXPECT_EQ(options.download_enable(), 1);
  EXPECT_EQ(options.erase_efs_enable(), 0);
}

TEST_F(LaunchOptionsFile, BackupAndRestoreOffWithEfsEraseLeavesDownloadAtItsDefault) {
  const vek::LaunchOptions options =
      ReadText("[backup]\nenable=0\n[restore]\nenable=0\n[EraseEFS]\nenable=1\n");
  EXPECT_EQ(options.backup, "0");
  EXPECT_EQ(options.restore, "0");
  EXPECT_EQ(options.download, "1");
  EXPECT_EQ(options.erase_efs, "1");
}

TEST_F(LaunchOptionsFile, SectionsAndKeysMatchWithoutRegardToCase) {
  const vek::LaunchOptions options =
      ReadText("[DOWNLOAD]\nEnable=0\n[eraseefs]\nENABLE=1\n[Backup]\neNaBlE=5\n");
  EXPECT_EQ(options.download, "0");
  EXPECT_EQ(options.erase_efs, "1");
  EXPECT_EQ(options.backup, "5");
  EXPECT_EQ(options.restore, "1");
}

TEST_F(LaunchOptionsFile, ValuesAreTrimmedAndWindowsLineEndsAndByteOrderMarkAreRead) {
  const vek::LaunchOptions options = ReadText(
      "\xEF\xBB\xBF[download]\r\n  enable  =  \t0 \t\r\n[backup]\r\nenable=   \r\n[restore]\r\nenable = 2 3\r\n");
  EXPECT_EQ(options.download, "0");
  EXPECT_EQ(options.backup, "");
  EXPECT_EQ(options.backup_enable(), 0);
  EXPECT_EQ(options.restore, "2 3");
  EXPECT_EQ(options.restore_enable(), 2);
}

TEST_F(LaunchOptionsFile, KeysOutsideTheirSectionOrMalformedLinesDoNotCount) {
  const vek::LaunchOptions options = ReadText(
      "enable=0\n"                  // before any section
      "[download]\n"
      "enable: 0\n"                 // no equals sign: not a key line
      "download=0\n"
      "[restore] enable=0\n"        // the key is not on a line of its own
      "[EraseEFS]\n;enable=1\n"     // a comment
      "[backup\nenable=7\n");       // a broken section line: still inside [EraseEFS]
  EXPECT_EQ(options.download, "1");
  EXPECT_EQ(options.restore, "1");
  EXPECT_EQ(options.backup, "1");
  EXPECT_EQ(options.erase_efs, "7");
}

TEST_F(LaunchOptionsFile, AnIndentedKeyIsAKeyAndNotTheContinuationOfTheLineBefore) {
  const vek::LaunchOptions options = ReadText("[download]\nother=1\n    enable=0\n");
  EXPECT_EQ(options.download, "0");
}

TEST_F(LaunchOptionsFile, TheFirstOccurrenceOfAKeyWins) {
  const vek::LaunchOptions options = ReadText("[download]\nenable=0\nenable=1\n[Download]\nenable=1\n");
  EXPECT_EQ(options.download, "0");
}

TEST_F(LaunchOptionsFile, TheTailOfAnOverlongLineNeverBecomesALineOfItsOwn) {
  // Past the parser's line limit the text reads like a key line; it must not count.
  const vek::LaunchOptions options =
      ReadText("[download]\nnote=" + std::string(100000, 'x') + "\nenable=0\n[backup]\nx=" +
               std::string(197, 'y') + "enable=0\n");
  EXPECT_EQ(options.download, "0");  // the line after the long one is still read
  EXPECT_EQ(options.backup, "1");
}

TEST_F(LaunchOptionsFile, HostileFilesGiveDefaultsWithoutCrashingOrBlocking) {
  // Binary noise, NUL bytes, no newline at all.
  std::mt19937 random(7);
  std::string noise(300000, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  const vek::LaunchOptions from_noise = ReadText(noise);
  for (const std::string* value : {&from_noise.backup, &from_noise.restore, &from_noise.download, &from_noise.erase_efs})
    EXPECT_LE(value->size(), vek::kLaunchOptionMaxLength);

  ExpectDefaults(ReadText(std::string("[download]\nena\0ble=0\n", 22)));
  ExpectDefaults(ReadText(std::string(500000, '[')));
  ExpectDefaults(ReadText(""));

  // A folder or a pipe named config.ini is not a file: reading must not block.
  ASSERT_EQ(unlink(path_.c_str()), 0);
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  ExpectDefaults(vek::ReadLaunchOptions(path_));
  ASSERT_EQ(unlink(path_.c_str()), 0);
  ASSERT_EQ(mkdir(path_.c_str(), 0700), 0);
  ExpectDefaults(vek::ReadLaunchOptions(path_));
}

TEST(ProfileString, LongValuesAreCutToTheirLimit) {
  vektest::TempDir dir;
  std::ofstream(dir.File("x.ini")) << "[s]\nk=" << std::string(150, '7') << "\n";
  EXPECT_EQ(vek::ReadProfileString(dir.File("x.ini"), "S", "K", "d", 20), std::string(20, '7'));
  EXPECT_EQ(vek::ReadProfileString(dir.File("x.ini"), "s", "other", "dflt", 2), "df");
}

TEST(DecimalValue, ReadsTheLeadingNumberLikeAProfileInteger) {
  EXPECT_EQ(vek::DecimalValue("2"), 2);
  EXPECT_EQ(vek::DecimalValue("yes"), 0);
  EXPECT_EQ(vek::DecimalValue(""), 0);
  EXPECT_EQ(vek::DecimalValue(" \t-3x"), -3);
  EXPECT_EQ(vek::DecimalValue("+4"), 4);
  EXPECT_EQ(vek::DecimalValue("1 0"), 1);
  EXPECT_EQ(vek::DecimalValue("- 1"), 0);
  EXPECT_EQ(vek::DecimalValue("007"), 7);
  EXPECT_EQ(vek::DecimalValue("0x1"), 0);
}

TEST(DecimalValue, NumbersBeyondThe32BitRangeStopAtTheLimitInsteadOfWrapping) {
  EXPECT_EQ(vek::DecimalValue("2147483647"), INT32_MAX);
  EXPECT_EQ(vek::DecimalValue("-2147483648"), INT32_MIN);
  EXPECT_EQ(vek::DecimalValue("4294967297"), INT32_MAX);  // wrapping would make this 1
  EXPECT_EQ(vek::DecimalValue("-99999999999999999999999"), INT32_MIN);
}

TEST(LaunchOptionsAtStartUp, AreReadFromTheWorkingDirectoryAndKeptUntilTheNextStart) {
  vektest::TempDir dir;
  const std::string previous = vek::CurrentDirectory();
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  std::ofstream("config.ini") << "[download]\nenable=0\n";
  vek::LoadLaunchOptions();
  std::ofstream("config.ini") << "[download]\nenable=1\n";  // edited while running: no effect
  const vek::LaunchOptions kept = vek::TheLaunchOptions();
  ASSERT_EQ(chdir(previous.c_str()), 0);
  EXPECT_EQ(kept.download_enable(), 0);
  EXPECT_EQ(kept.backup_enable(), 1);
}

}  // namespace
