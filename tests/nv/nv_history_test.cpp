// Earlier backups kept in nv-history/ when a new one takes their name.
#include "nv/nv_history.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr std::time_t kDecember8 = 1796715120;  // 2026-12-08 07:32:00 UTC

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

class NvHistory : public ::testing::Test {
 protected:
  // A new file with `bytes` takes the name `name`.
  vek::NvHistoryResult Replace(const std::string& name, const std::string& bytes, std::time_t now) {
    Write(dir_.File(name + ".part"), bytes);
    return vek::ReplaceKeepingEarlier(dir_.File(name + ".part"), dir_.File(name), now);
  }
  std::vector<std::string> Kept(const std::string& name) { return vek::KeptCopies(dir_.path(), name); }

  vektest::TempDir dir_;
};

TEST_F(NvHistory, TheReplacedFileIsKeptUnderItsTimeAndNothingIsKeptForTheFirst) {
  const auto first = Replace("backup.nvb", "first", kDecember8);
  EXPECT_TRUE(first.placed);
  EXPECT_EQ(first.kept_as, "");
  EXPECT_FALSE(fs::exists(dir_.File("nv-history")));

  const auto second = Replace("backup.nvb", "second", kDecember8 + 60);
  ASSERT_TRUE(second.placed) << second.error;
  EXPECT_EQ(second.kept_as, "nv-history/backup-20261208T073300Z.nvb");
  EXPECT_EQ(Read(dir_.File(second.kept_as)), "first");
  EXPECT_EQ(Read(dir_.File("backup.nvb")), "second");
  EXPECT_FALSE(fs::exists(dir_.File("backup.nvb.part")));
  struct stat folder {};
  ASSERT_EQ(stat(dir_.File("nv-history").c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);

  // The same bytes again lose nothing: no copy of them is kept twice.
  const auto same = Replace("backup.nvb", "second", kDecember8 + 120);
  EXPECT_TRUE(same.placed);
  EXPECT_EQ(same.kept_as, "");
  EXPECT_EQ(Kept("backup.nvb"), std::vector<std::string>{"backup-20261208T073300Z.nvb"});
}

TEST_F(NvHistory, TwoInTheSameSecondNeverReplaceOneAnother) {
  Replace("backup.nvb", "a", kDecember8);
  Replace("backup.nvb", "b", kDecember8);
  Replace("backup.nvb", "c", kDecember8);
  const auto fourth = Replace("backup.nvb", "d", kDecember8);
  EXPECT_EQ(fourth.kept_as, "nv-history/backup-20261208T073200Z-3.nvb");
  EXPECT_EQ(Kept("backup.nvb"), (std::vector<std::string>{"backup-20261208T073200Z.nvb",
                                                          "backup-20261208T073200Z-2.nvb",
                                                          "backup-20261208T073200Z-3.nvb"}));
  EXPECT_EQ(Read(dir_.File("nv-history/backup-20261208T073200Z.nvb")), "a");
  EXPECT_EQ(Read(dir_.File("nv-history/backup-20261208T073200Z-2.nvb")), "b");
  EXPECT_EQ(Read(dir_.File("nv-history/backup-20261208T073200Z-3.nvb")), "c");
}

TEST_F(NvHistory, TheTenNewestOfEachNameAreKept) {
  // Another name's copies and a file of the operator's stay whatever happens to backup.nvb's.
  Replace("123456789012345.nvb", "imei 1", kDecember8);
  Replace("123456789012345.nvb", "imei 2", kDecember8 + 1);
  Write(dir_.File("nv-history/backup-mine.nvb"), "mine");

  Replace("backup.nvb", "0", kDecember8);
  std::vector<std::string> dropped;
  for (int i = 1; i <= 12; ++i) {
    const auto result = Replace("backup.nvb", std::to_string(i), kDecember8 + i * 3600);
    ASSERT_TRUE(result.placed) << result.error;
    dropped.insert(dropped.end(), result.dropped.begin(), result.dropped.end());
    EXPECT_EQ(result.dropped.size(), i <= 10 ? 0u : 1u) << i;
  }
  // Kept: the files "2" … "11", stamped with the hour each was replaced.
  EXPECT_EQ(dropped, (std::vector<std::string>{"nv-history/backup-20261208T083200Z.nvb",
                                               "nv-history/backup-20261208T093200Z.nvb"}));
  const auto kept = Kept("backup.nvb");
  ASSERT_EQ(kept.size(), 10u);
  EXPECT_EQ(kept.front(), "backup-20261208T103200Z.nvb");
  EXPECT_EQ(Read(dir_.File("nv-history/" + kept.front())), "2");
  EXPECT_EQ(Read(dir_.File("nv-history/" + kept.back())), "11");
  EXPECT_EQ(Read(dir_.File("backup.nvb")), "12");
  EXPECT_EQ(Kept("123456789012345.nvb").size(), 1u);
  EXPECT_EQ(Read(dir_.File("nv-history/backup-mine.nvb")), "mine");
}

TEST_F(NvHistory, WhenTheEarlierFileCannotBeKeptItStaysAndTheNewOneIsNotPlaced) {
  Write(dir_.File("backup.nvb"), "earlier");
  // nv-history/ leading elsewhere: nothing goes through it.
  fs::create_directory(dir_.File("elsewhere"));
  fs::create_directory_symlink(dir_.File("elsewhere"), dir_.File("nv-history"));
  const auto through_link = Replace("backup.nvb", "new", kDecember8);
  EXPECT_FALSE(through_link.placed);
  EXPECT_NE(through_link.error, "");
  EXPECT_EQ(Read(dir_.File("backup.nvb")), "earlier");
  EXPECT_TRUE(fs::is_empty(dir_.File("elsewhere")));

  // A name that is not a plain backup name (it may come from the module) is refused.
  for (const std::string name : {"a b.nvb", "a-b.nvb", ".nvb", "backup.txt", "\x01.nvb"}) {
    Write(dir_.File("new.part"), "new");
    const auto odd = vek::ReplaceKeepingEarlier(dir_.File("new.part"), dir_.File(name), kDecember8);
    EXPECT_FALSE(odd.placed) << name;
    EXPECT_FALSE(fs::exists(dir_.File(name))) << name;
  }
}

}  // namespace
