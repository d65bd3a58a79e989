// vek-cli on one module among several (--module): two simulated modules listed
// in one port map, each vek-cli a child process with its own working folder and
// a runtime folder they all share, as on one machine.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "cli_process.h"
#include "link/port_map_source.h"
#include "records/job_records.h"
#include "sim/demo_images.h"
#include "sim/port_map_file.h"
#include "sim/sim_module.h"
#include "test_support.h"
#include "upgradable_module.h"

namespace {

using vektest::CliRun;
using Clock = std::chrono::steady_clock;

constexpr char kPathA[] = "3-1.1";
constexpr char kPathB[] = "3-1.2";

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Every module publishes its own port-map file in `folder`; this keeps `merged`
// the union of them, rewritten whenever one changes, as one machine lists the
// ports of a tray of modules.
class MergedPortMap {
 public:
  MergedPortMap(const std::string& folder, std::vector<std::string> parts, std::string merged)
      : parts_(std::move(parts)), merged_(std::move(merged)) {
    changes_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    inotify_add_watch(changes_, folder.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE);
    stop_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    Merge();
    thread_ = std::thread([this] { Run(); });
  }
  // The union as the parts are now, before this returns.
  void Merge() {
    std::lock_guard lock(mutex_);
    std::vector<vek::PortEntry> all;
    for (const std::string& part : parts_)
      for (vek::PortEntry& entry : vek::PortMapSource(part).ListPorts()) all.push_back(std::move(entry));
    sim::WritePortMapFile(merged_, all);
  }
  ~MergedPortMap() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(stop_, &one, sizeof one);
    thread_.join();
    close(changes_);
    close(stop_);
  }

 private:
  void Run() {
    pollfd fds[2] = {{changes_, POLLIN, 0}, {stop_, POLLIN, 0}};
    for (;;) {
      if (poll(fds, 2, 1000) < 0 && errno != EINTR) return;
      if (fds[1].revents & POLLIN) return;
      char buffer[4096];
      while (read(changes_, buffer, sizeof buffer) > 0) {
      }
      Merge();
    }
  }

  std::mutex mutex_;  // one writer of the merged file at a time
  std::vector<std::string> parts_;
  std::string merged_;
  int changes_ = -1;
  int stop_ = -1;
  std::thread thread_;
};

// Waits, bounded, until `name` exists in `folder` (which exists already).
bool AwaitFile(const std::string& folder, const std::string& name, Clock::duration bound) {
  const int changes = inotify_init1(IN_CLOEXEC);
  if (inotify_add_watch(changes, folder.c_str(), IN_CREATE | IN_MOVED_TO) < 0) {
    close(changes);
    return false;
  }
  const auto deadline = Clock::now() + bound;
  bool there = false;
  while (!(there = std::filesystem::exists(folder + "/" + name)) && Clock::now() < deadline) {
    pollfd fd{changes, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (poll(&fd, 1, static_cast<int>(left.count()) + 1) > 0) {
      char buffer[4096];
      [[maybe_unused]] const ssize_t n = read(changes, buffer, sizeof buffer);
    }
  }
  close(changes);
  return there;
}

class CliModule : public ::testing::Test {
 protected:
  void SetUp() override {
    images_ = dir_.File("images");
    ASSERT_TRUE(sim::WriteImageFolder(images_, vek::PLATFORM_6280, 16 * 1024, 64 * 1024));
    std::filesystem::create_directory(dir_.File("maps"));
    std::filesystem::create_directory(dir_.File("run"));
    ports_ = dir_.File("ports");
    merged_ = std::make_unique<MergedPortMap>(dir_.File("maps"),
                                              std::vector<std::string>{dir_.File("maps/a"), dir_.File("maps/b")}, ports_);
  }
  void TearDown() override {
    merged_.reset();
    a_.reset();
    b_.reset();
  }

  // Module A (COM20-22) and B (COM40-42), each plugged in at its own USB port path.
  std::unique_ptr<sim::SimModule> StartModule(const std::string& map, const char* usb_path, uint32_t com_base) {
    sim::SimModuleOptions options = vektest::UpgradableModuleOptions(map);
    options.usb.path = usb_path;
    options.com_base = com_base;
    auto module = std::make_unique<sim::SimModule>(options);
    std::string error;
    EXPECT_TRUE(module->Start(&error)) << error;
    return module;
  }
  void StartA() {
    a_ = StartModule(dir_.File("maps/a"), kPathA, 20);
    merged_->Merge();
  }
  void StartB() {
    b_ = StartModule(dir_.File("maps/b"), kPathB, 40);
    merged_->Merge();
  }

  // vek-cli in a working folder of its own (made here unless the test made it).
  CliRun Cli(const std::string& work, std::vector<std::string> args) {
    std::filesystem::create_directory(dir_.File(work));
    vektest::CliSetup setup;
    setup.working_dir = dir_.File(work);
    setup.runtime_dir = dir_.File("run");
    args.insert(args.begin(), {"--port-map", ports_, "--images", images_});
    CliRun run = vektest::RunCli(args, setup);
    EXPECT_FALSE(run.timed_out) << "vek-cli hung; stdout:\n" << run.out << "\nstderr:\n" << run.err;
    return run;
  }

  static bool Flashed(sim::SimModule& module) {
    std::lock_guard lock(module.device().mutex);
    return !module.device().flash.empty();
  }

  vektest::TempDir dir_;
  std::string images_, ports_;
  std::unique_ptr<sim::SimModule> a_, b_;
  std::unique_ptr<MergedPortMap> merged_;
};

TEST_F(CliModule, OnlyTheChosenModuleIsFlashedAndItsNeighbourIsUntouched) {
  StartA();
  StartB();
  const auto b_nv = b_->device().nv.Snapshot();

  // Without --module both count: no job, as before.
  const CliRun every = Cli("every", {});
  EXPECT_EQ(every.exit_status, 3) << every.out << every.err;
  EXPECT_TRUE(Contains(every.err, "There are other devices, please remove them and try again!")) << every.err;
  EXPECT_FALSE(Flashed(*a_));
  b_->ClearRequests();

  const CliRun absent = Cli("absent", {"--module", "COM99"});
  EXPECT_EQ(absent.exit_status, 3);
  EXPECT_TRUE(Contains(absent.err, "no port COM99 is present")) << absent.err;

  // Named by its diagnostic port, module A is fixed to its USB path and flashed alone.
  const CliRun one = Cli("one", {"--module", "COM20"});
  ASSERT_EQ(one.exit_status, 0) << one.out << one.err;
  EXPECT_FALSE(Contains(one.err, "There are other devices")) << one.err;
  EXPECT_TRUE(Flashed(*a_));
  EXPECT_FALSE(Flashed(*b_));
  EXPECT_TRUE(b_->Requests().empty()) << "module B was spoken to";
  EXPECT_TRUE(b_->device().nv.Snapshot() == b_nv);
}

TEST_F(CliModule, TwoRunsOnOneModuleExcludeEachOtherAndRunsOnTwoModulesGoSideBySide) {
  StartB();
  // The first run on A waits for A (B's ports are not A's) and holds A's lock meanwhile.
  std::filesystem::create_directory(dir_.File("first"));
  auto first = std::async(std::launch::async, [this] { return Cli("first", {"--module", kPathA}); });
  ASSERT_TRUE(AwaitFile(dir_.File("first"), "vek.log", std::chrono::seconds(30))) << "the first run never started";

  const CliRun same = Cli("same", {"--module", kPathA});
  EXPECT_EQ(same.exit_status, 3) << same.out << same.err;
  EXPECT_EQ(same.err, std::string("vek-cli: another vek-cli works on module ") + kPathA + "; no job was started\n");
  const CliRun every = Cli("every", {});
  EXPECT_EQ(every.exit_status, 3) << every.out << every.err;
  EXPECT_TRUE(Contains(every.err, "VEK has been running")) << every.err;

  // B's run holds its lock while the first run still waits for A: both locks at once.
  std::filesystem::create_directory(dir_.File("beside"));
  auto beside = std::async(std::launch::async, [this] { return Cli("beside", {"--module", kPathB}); });
  ASSERT_TRUE(AwaitFile(dir_.File("beside"), "vek.log", std::chrono::seconds(30))) << "B's run never started";
  StartA();
  const CliRun on_b = beside.get();
  const CliRun on_a = first.get();
  EXPECT_EQ(on_b.exit_status, 0) << on_b.out << on_b.err;
  EXPECT_EQ(on_a.exit_status, 0) << on_a.out << on_a.err;
  EXPECT_TRUE(Flashed(*a_));
  EXPECT_TRUE(Flashed(*b_));
}

}  // namespace
