// The check before a job: a modem manager running while the module's ports
// lack the mark to be left alone draws one warning on the status line and in
// the log; otherwise nothing is said.
#include "upgrade/preflight_check.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "link/modem_manager.h"
#include "link/process_scan.h"
#include "recording_window.h"
#include "records/reporting.h"
#include "test_support.h"

namespace {

constexpr char kWarning[] =
    "ModemManager is running and may probe the module's ports: install VEK's udev rules (70-vek.rules) or run `sudo "
    "systemctl stop ModemManager`";

// A /proc tree of its own: the listed processes and nothing else.
class FakeProc {
 public:
  explicit FakeProc(std::initializer_list<std::pair<int, std::string>> processes) {
    for (const auto& [pid, comm] : processes) {
      std::filesystem::create_directories(dir_.File(std::to_string(pid)));
      std::ofstream(dir_.File(std::to_string(pid) + "/comm")) << comm << "\n";
    }
  }
  const std::string& root() const { return dir_.path(); }

 private:
  vektest::TempDir dir_;
};

vek::PreflightSources Sources(const std::string& proc_root, vek::PortUdevRecord record) {
  return {proc_root, [record](const std::string&) { return record; }};
}

constexpr vek::PortUdevRecord kUnmarked{true, false, false};
constexpr vek::PortUdevRecord kMarked{true, true, false};
constexpr vek::PortUdevRecord kNoRecord{false, false, false};

TEST(ModemManagerWarning, IsDueOnlyForARunningManagerAndAnUnmarkedPort) {
  const FakeProc with({{1, "systemd"}, {812, "ModemManager"}});
  const FakeProc without({{1, "systemd"}, {77, "bash"}});
  const std::vector<std::string> ports{"/dev/ttyUSB0", "/dev/ttyUSB2"};
  EXPECT_EQ(vek::ModemManagerWarning(ports, Sources(with.root(), kUnmarked)), kWarning);
  EXPECT_EQ(vek::ModemManagerWarning(ports, Sources(without.root(), kUnmarked)), "");
  EXPECT_EQ(vek::ModemManagerWarning(ports, Sources(with.root(), kMarked)), "");
  EXPECT_EQ(vek::ModemManagerWarning(ports, Sources(with.root(), kNoRecord)), "");  // ptys
  EXPECT_EQ(vek::ModemManagerWarning({}, Sources(with.root(), kUnmarked)), "");
  // One unmarked port among marked ones is enough to be probed.
  vek::PreflightSources mixed{with.root(), [](const std::string& path) { return path == "/dev/ttyUSB2" ? kUnmarked : kMarked; }};
  EXPECT_EQ(vek::ModemManagerWarning(ports, mixed), kWarning);
}

class PreflightCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    vek::InstallStandardCallbacks(vek::TheJob());
    vek::SetLogSink([this](std::string_view entry) { log_.emplace_back(entry); });
    vek::TheDevice().diag_port = 7;
    vek::TheDevice().at_port = 0;
    vek::TheDevice().nmea_port = 0;
  }
  void TearDown() override {
    vek::SetLogSink(nullptr);
    vek::TheDevice().diag_port = 0;
  }
  vektest::PeerPort peer_{7};
  vektest::RecordingWindow window_;
  std::vector<std::string> log_;
};

TEST_F(PreflightCheck, ARealManagerProcessAndAnUnmarkedPortShowStatusAndLog) {
  // A copy of sleep named like the service, found in the real /proc.
  vektest::TempDir dir;
  const std::string program = dir.File("ModemManager");
  std::filesystem::copy_file("/bin/sleep", program);
  chmod(program.c_str(), 0755);
  const pid_t pid = fork();
  if (pid == 0) {
    execl(program.c_str(), "ModemManager", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  // Until the exec the child still has this program's name; another process of
  // that name (a real service, another run of this test) proves nothing.
  const bool named = vektest::Eventually([pid] { return vek::ProcessComm(vek::kProcRoot, pid) == "ModemManager"; },
                                         10000);
  std::string looked_up;
  if (named) {
    vek::RunPreflightCheck(vek::TheJob(), {vek::kProcRoot, [&](const std::string& path) {
                                             looked_up = path;
                                             return kUnmarked;
                                           }});
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  ASSERT_TRUE(named);
  EXPECT_EQ(looked_up, peer_.pty().device_path());
  EXPECT_EQ(window_.Events(), std::vector<std::string>{std::string("status ") + kWarning});
  EXPECT_EQ(log_, std::vector<std::string>{kWarning});
}

TEST_F(PreflightCheck, SaysNothingWithoutAManagerOrForAPseudoTerminal) {
  const FakeProc with({{812, "ModemManager"}});
  const FakeProc without({{77, "bash"}});
  vek::RunPreflightCheck(vek::TheJob(), Sources(without.root(), kUnmarked));
  vek::RunPreflightCheck(vek::TheJob(), Sources(with.root(), kMarked));
  // The real udev lookup: a port map's pty has no udev record.
  vek::RunPreflightCheck(vek::TheJob(), {with.root(), vek::ReadPortUdevRecord});
  EXPECT_TRUE(window_.Events().empty());
  EXPECT_TRUE(log_.empty());
}

}  // namespace
