// No suspend or shutdown while the flash is written: the logind inhibitor lock
// against a mock logind on a private bus. In process, the locks logind holds are
// read at the job's own status texts (the job waits while the test looks); through
// vek-cli, the lock's exact arguments and what happens without logind.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "mock_logind.h"
#include "records/stop_wait.h"
#include "sim/demo_images.h"
#include "upgradable_module.h"
#include "upgrade_test_support.h"

namespace {

using sim::FaultKind;
using sim::SimState;
using vektest::kLockDropped;
using vektest::kLockTaken;

constexpr char kHeld[] = "sleep:shutdown|VEK|writing the module's flash|block";
constexpr char kNoLogind[] = "no logind: suspend and shutdown are not inhibited (";
constexpr uint8_t kStreamWrite = 0x07;

using Texts = std::vector<std::string>;

// Notes, at chosen status texts, the locks logind holds at that moment.
class LockWatchingWindow : public vektest::RecordingWindow {
 public:
  explicit LockWatchingWindow(const vektest::MockLogind& logind) : logind_(logind) {}
  // At `text`, note the locks held (`released` false) or the history once none is held.
  void Watch(const std::string& text, bool released) { watch_[text] = released; }
  Texts At(const std::string& text) const {
    std::lock_guard lock(mutex_);
    const auto found = noted_.find(text);
    return found == noted_.end() ? Texts{"(never shown)"} : found->second;
  }
  void Forget() {
    std::lock_guard lock(mutex_);
    watch_.clear();
    noted_.clear();
  }
  void ShowStatus(const std::string& text) override {
    const auto watched = watch_.find(text);
    if (watched != watch_.end()) {
      Texts seen = watched->second ? logind_.HistoryOnceNoneHeld() : logind_.Held();
      std::lock_guard lock(mutex_);
      noted_.emplace(text, std::move(seen));  // the first time it is shown
    }
    RecordingWindow::ShowStatus(text);
  }

 private:
  const vektest::MockLogind& logind_;
  std::map<std::string, bool> watch_;
  mutable std::mutex mutex_;
  std::map<std::string, Texts> noted_;
};

class SleepInhibitorJob : public upgradetest::UpgradeTest {
 protected:
  void SetUp() override {
    upgradetest::UpgradeTest::SetUp();
    const std::string error = logind_.Start();
    ASSERT_EQ(error, "") << "the mock logind is needed (python3-dbusmock, dbus-daemon)";
    // Before any thread of the job exists; put back in TearDown once they are gone.
    if (const char* old = getenv("DBUS_SYSTEM_BUS_ADDRESS")) old_address_ = old;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", logind_.address().c_str(), 1);
    vek::SetWindowNotifications(&watcher_);
  }
  void TearDown() override {
    upgradetest::UpgradeTest::TearDown();
    if (old_address_) {
      setenv("DBUS_SYSTEM_BUS_ADDRESS", old_address_->c_str(), 1);
    } else {
      unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
  }
  void Choose(int backup, int download, int restore) {
    job().backup_enable = backup;
    job().download_enable = download;
    job().restore_enable = restore;
  }

  vektest::MockLogind logind_;
  LockWatchingWindow watcher_{logind_};
  std::optional<std::string> old_address_;
};

TEST_F(SleepInhibitorJob, HeldFromTheSwitchUntilTheModuleRunsItsFirmwareAgain) {
  StartModule(SimState::kFirmware, QuickModule());
  LoadImages(vek::PLATFORM_6280);
  struct Case {
    const char* what;
    int backup, restore;
  };
  // With a restore, its wait sees the firmware; without, the identity query answers.
  // Each shows "reset ok" right after.
  for (const Case& c : {Case{"with restore", 1, 1}, Case{"without restore", 0, 0}}) {
    SCOPED_TRACE(c.what);
    const size_t before = logind_.History().size();
    for (const char* text : {"read version:", "switch to download...", "amss downloading...", "waiting reset..."})
      watcher_.Watch(text, false);
    watcher_.Watch("reset ok", true);
    Choose(c.backup, 1, c.restore);
    ASSERT_EQ(vek::RunUpgrade(job()), 1);
    EXPECT_EQ(watcher_.At("read version:"), Texts{});
    EXPECT_EQ(watcher_.At("switch to download..."), Texts{kHeld});
    EXPECT_EQ(watcher_.At("amss downloading..."), Texts{kHeld});
    EXPECT_EQ(watcher_.At("waiting reset..."), Texts{kHeld});
    const Texts history = logind_.History();
    ASSERT_EQ(history.size(), before + 2) << ::testing::PrintToString(history);
    EXPECT_EQ(Texts(history.begin() + static_cast<long>(before), history.end()), (Texts{kLockTaken, kLockDropped}));
    EXPECT_EQ(watcher_.At("reset ok"), history);  // already given back then
    watcher_.Forget();
  }
}

TEST_F(SleepInhibitorJob, GivenBackBeforeTheBoxWhenTheDownloadFails) {
  // The programmer refuses an image write; the cable pulled during the images.
  for (FaultKind fault : {FaultKind::kRefuse, FaultKind::kPull}) {
    SCOPED_TRACE(static_cast<int>(fault));
    const Texts before = logind_.History();
    StartModule(SimState::kFirmware, QuickModule());
    module_->faults().Add({SimState::kProgrammer, kStreamWrite, fault, fault == FaultKind::kRefuse ? 0x0Eu : 0u, 1});
    LoadImages(vek::PLATFORM_6280);
    Choose(0, 1, 0);
    watcher_.Watch("write failed", false);
    watcher_.Watch("download failed!", true);
    EXPECT_EQ(vek::RunUpgrade(job()), 0);
    EXPECT_EQ(watcher_.At("write failed"), Texts{kHeld});
    Texts expected = before;
    expected.insert(expected.end(), {kLockTaken, kLockDropped});
    EXPECT_EQ(watcher_.At("download failed!"), expected);
    EXPECT_EQ(logind_.History(), expected);
    vek::CloseDiagPort();
    module_->Stop();
    watcher_.Forget();
  }
}

TEST_F(SleepInhibitorJob, GivenBackWhenTheJobIsStopped) {
  StartModule(SimState::kFirmware, QuickModule());
  LoadImages(vek::PLATFORM_6280);
  Choose(0, 1, 0);
  watcher_.HoldAt("status amss downloading...");
  int result = -1;
  std::jthread worker([&](std::stop_token stop) {
    vek::StopScope scope(stop);
    result = vek::RunUpgrade(job());
  });
  ASSERT_TRUE(watcher_.WaitUntilHeld(30000));
  EXPECT_EQ(logind_.Held(), Texts{kHeld});
  worker.request_stop();  // as the removal handler does when the cable is pulled
  watcher_.Release();
  worker.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(logind_.HistoryOnceNoneHeld(), (Texts{kLockTaken, kLockDropped}));
}

TEST_F(SleepInhibitorJob, AJobThatWritesNoFlashTakesNoLock) {
  StartModule(SimState::kFirmware, QuickModule());
  Choose(1, 0, 1);  // backup and restore only
  ASSERT_EQ(vek::RunUpgrade(job()), 1);
  EXPECT_EQ(logind_.History(), Texts{});
}

// vek-cli as a child process against a simulated module, the system bus named by
// DBUS_SYSTEM_BUS_ADDRESS.
class SleepInhibitorCli : public ::testing::Test {
 protected:
  void SetUp() override {
    images_ = dir_.File("images");
    ASSERT_TRUE(sim::WriteImageFolder(images_, vek::PLATFORM_6280, 16 * 1024, 64 * 1024));
    ports_ = dir_.File("ports");
    std::filesystem::create_directory(dir_.File("run"));
    setup_.runtime_dir = dir_.File("run");
  }

  // One job in a fresh working folder against a fresh module, the bus at `address`.
  vektest::CliRun Job(const std::string& address) {
    module_.reset();
    module_ = std::make_unique<sim::SimModule>(vektest::UpgradableModuleOptions(ports_));
    EXPECT_TRUE(module_->Start());
    const std::string work = dir_.File("work" + std::to_string(++runs_));
    std::filesystem::create_directory(work);
    setup_.working_dir = work;
    setup_.extra_env = {"DBUS_SYSTEM_BUS_ADDRESS=" + address};
    vektest::CliRun run = vektest::RunCli({"--port-map", ports_, "--images", images_, "--verbose"}, setup_);
    EXPECT_FALSE(run.timed_out) << run.out << run.err;
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
    std::lock_guard lock(module_->device().mutex);
    EXPECT_FALSE(module_->device().flash.empty()) << "nothing was written";
    return run;
  }

  static int NoLogindLines(const std::string& err) {
    int count = 0;
    for (size_t at = 0; (at = err.find(kNoLogind, at)) != std::string::npos; ++at) ++count;
    return count;
  }

  vektest::TempDir dir_;
  std::string images_, ports_;
  vektest::CliSetup setup_;
  std::unique_ptr<sim::SimModule> module_;
  int runs_ = 0;
};

TEST_F(SleepInhibitorCli, AJobHoldsTheLockWithItsExactArgumentsAndGivesItBack) {
  vektest::MockLogind logind;
  ASSERT_EQ(logind.Start(), "") << "the mock logind is needed (python3-dbusmock, dbus-daemon)";
  const vektest::CliRun run = Job(logind.address());
  EXPECT_EQ(logind.HistoryOnceNoneHeld(), (Texts{kLockTaken, kLockDropped}));
  EXPECT_EQ(NoLogindLines(run.err), 0) << run.err;
}

TEST_F(SleepInhibitorCli, WithoutLogindTheJobGoesOnAndSaysSoOnce) {
  // Nothing listens where the bus should be (a container).
  const vektest::CliRun absent = Job("unix:path=" + dir_.File("no_bus_here"));
  EXPECT_EQ(NoLogindLines(absent.err), 1) << absent.err;
  EXPECT_NE(absent.err.find(std::string(kNoLogind) + "system bus: No such file or directory)\n"), std::string::npos)
      << absent.err;

  // A bus that takes the connection and never answers: the job waits for it only so long.
  const std::string path = dir_.File("hung_bus");
  const int hung = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::copy(path.begin(), path.end(), address.sun_path);
  ASSERT_EQ(bind(hung, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(hung, 4), 0);  // never accepted
  const vektest::CliRun silent = Job("unix:path=" + path);
  close(hung);
  EXPECT_EQ(NoLogindLines(silent.err), 1) << silent.err;
  EXPECT_NE(silent.err.find(std::string(kNoLogind) + "no answer within 5 s)\n"), std::string::npos) << silent.err;
}

}  // namespace
