// Looking through a made-up /proc tree whose contents are hostile (the real
// /proc is searched by the pre-flight and open-failure tests).
#include "link/process_scan.h"

#include <sys/sysmacros.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "link/modem_manager.h"
#include "test_support.h"

namespace {

void WriteFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

TEST(ProcessScan, AHostileProcTreeYieldsOnlyWellFormedEntries) {
  vektest::TempDir proc;
  WriteFile(proc.File("12/comm"), "ModemManager\n");
  WriteFile(proc.File("13/comm"), "ModemManager-but-longer-than-comm-allows\n");
  WriteFile(proc.File("14/comm"), std::string(100000, 'M'));
  WriteFile(proc.File("abc/comm"), "ModemManager\n");
  WriteFile(proc.File("-5/comm"), "ModemManager\n");
  WriteFile(proc.File("99999999999999/comm"), "ModemManager\n");
  WriteFile(proc.File("15/comm"), std::string("Modem\x1b[1mX\n"));
  std::filesystem::create_directories(proc.File("16"));  // vanished before its comm was read
  const auto found = vek::ProcessesNamed(proc.path(), "ModemManager");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].pid, 12);
  EXPECT_EQ(vek::ProcessComm(proc.path(), 15), "Modem?[1mX");
  EXPECT_EQ(vek::ProcessComm(proc.path(), 14).size(), 16u);
  EXPECT_EQ(vek::ProcessComm(proc.path(), 16), "");
  EXPECT_FALSE(vek::FindRunningModemManager(proc.File("none")));
}

TEST(ProcessScan, TheLockTableNamesHoldersOfThatFileOnly) {
  vektest::TempDir proc;
  WriteFile(proc.File("812/comm"), "holder\n");
  WriteFile(proc.File("locks"),
            "1: POSIX  ADVISORY  WRITE 700 00:1a:5 0 EOF\n"      // a record lock, not ours
            "2: FLOCK  ADVISORY  WRITE 812 00:1a:5 0 EOF\n"      // the holder
            "2: -> FLOCK  ADVISORY  WRITE 813 00:1a:5 0 EOF\n"   // a waiter
            "3: FLOCK  ADVISORY  WRITE 814 00:1b:5 0 EOF\n"      // another device
            "4: FLOCK  ADVISORY  WRITE 815 00:1a:6 0 EOF\n"      // another inode
            "5: FLOCK  ADVISORY  WRITE x 00:1a:5 0 EOF\n"
            "6: FLOCK  ADVISORY  WRITE 816 1a:5 0 EOF\n"
            "7: FLOCK  ADVISORY  WRITE 817 00:1a:99999999999999999999999 0 EOF\n"
            "8: FLOCK\n");
  const auto holders = vek::FlockHolders(proc.path(), makedev(0, 0x1a), 5);
  ASSERT_EQ(holders.size(), 1u);
  EXPECT_EQ(holders[0].pid, 812);
  EXPECT_EQ(holders[0].comm, "holder");
  EXPECT_TRUE(vek::FlockHolders(proc.File("missing"), makedev(0, 0x1a), 5).empty());
}

}  // namespace
