// Hot-plug of a real device as both front ends see it: a vek::Session on the
// system's ports (no port map), hearing of the module's ttys through udev.
// umockdev plays the kernel and udev with the module's recordings; each tty is
// a pty whose far side a bridge joins to the simulated module, so every byte
// of the search and the job crosses real terminals. The test's thread plays
// the window's thread.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "device/session.h"
#include "link/port_source.h"
#include "link/udev_port_source.h"
#include "mock_devices.h"
#include "recording_window.h"
#include "records/job_records.h"
#include "sim/demo_images.h"
#include "sim/sim_module.h"
#include "upgrade/supported_models.h"
#include "window_thread_queue.h"

namespace {

constexpr char kRemovedText[] = "usb cable has been removed!";

// Joins one emulated tty to one port of the simulated module: what the program
// writes to the tty reaches the module and the other way round. Ends when the
// module's port goes (its cable pulled).
class Bridge {
 public:
  Bridge(int tty_side, const std::string& module_port) : tty_side_(tty_side) {
    module_side_ = open(module_port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (module_side_ < 0) return;
    termios raw{};
    tcgetattr(module_side_, &raw);
    cfmakeraw(&raw);
    tcsetattr(module_side_, TCSANOW, &raw);
    fcntl(tty_side_, F_SETFL, fcntl(tty_side_, F_GETFL) | O_NONBLOCK);
    thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
  }
  ~Bridge() {
    thread_ = {};
    if (module_side_ >= 0) close(module_side_);
  }
  bool ok() const { return module_side_ >= 0; }

 private:
  void Run(std::stop_token stop) {
    uint8_t buffer[4096];
    while (!stop.stop_requested()) {
      pollfd fds[2] = {{tty_side_, POLLIN, 0}, {module_side_, POLLIN, 0}};
      if (poll(fds, 2, 20) <= 0) continue;
      if (fds[1].revents & POLLIN) {
        const ssize_t n = read(module_side_, buffer, sizeof buffer);
        if (n > 0) Write(tty_side_, buffer, n);
      } else if (fds[1].revents & (POLLHUP | POLLERR)) {
        return;  // the module's side is gone
      }
      if (fds[0].revents & POLLIN) {
        const ssize_t n = read(tty_side_, buffer, sizeof buffer);
        if (n > 0) Write(module_side_, buffer, n);
      } else if (fds[0].revents & (POLLHUP | POLLERR)) {
        poll(nullptr, 0, 10);  // the program has the tty closed: nothing to carry
      }
    }
  }
  static void Write(int fd, const uint8_t* data, ssize_t length) {
    while (length > 0) {
      const ssize_t n = write(fd, data, static_cast<size_t>(length));
      if (n < 0) {
        if (errno != EAGAIN) return;
        pollfd out{fd, POLLOUT, 0};
        poll(&out, 1, 20);
        continue;
      }
      data += n;
      length -= n;
    }
  }

  int tty_side_;
  int module_side_ = -1;
  std::jthread thread_;
};

// The window: the operator has chosen the module's product and the image folder.
class ProductWindow : public vektest::RecordingWindow {
 public:
  std::string image_folder;  // set before the search starts
  int SelectedProductPosition() override { return vek::ModelPosition("ZX2180"); }
  std::string ImagePathText() override { return image_folder; }
  void ClearDeviceControls() override { ShowStatus("(search restarted)"); }
};

class HotPlug : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(vektest::UnderUmockdevWrapper());
    unsetenv("VEK_PORT_MAP");
    vek::SetPortMapPath("");
    char pattern[] = "/tmp/vek-hotplug-XXXXXX";
    folder_ = mkdtemp(pattern);
    setenv("XDG_CONFIG_HOME", folder_.c_str(), 1);
    images_ = folder_ + "/images";
    ASSERT_TRUE(sim::WriteImageFolder(images_, vek::PLATFORM_6280, 1024, 4096));
    previous_dir_ = std::filesystem::current_path();
    std::filesystem::current_path(images_);  // vek.log goes there, as a restarted search looks there

    window_.image_folder = images_;
    devices_ = std::make_unique<vektest::MockDevices>();
    vek::SetSystemPortSource(std::make_shared<vek::UdevPortSource>(vek::EventSource::kUdev));
    session_ = vektest::SessionOnQueue(window_, window_thread_);
    session_->Initialise(images_);
  }

  void TearDown() override {
    session_.reset();
    bridge_.reset();
    module_.reset();
    devices_.reset();
    vek::SetSystemPortSource(nullptr);
    if (!previous_dir_.empty()) std::filesystem::current_path(previous_dir_);
    std::filesystem::remove_all(folder_);
  }

  // The simulated module; its own port map is never read by the program.
  sim::SimModule& StartModule(sim::SimState state) {
    sim::SimModuleOptions options;
    options.state = state;
    options.port_map_path = folder_ + "/sim-ports";
    options.at.model = "ZX2180";
    module_ = std::make_unique<sim::SimModule>(options);
    EXPECT_TRUE(module_->Start());
    return *module_;
  }

  // The module's diagnostic port appears as `tty` of `recording`.
  void PlugDiagnosticPort(const std::string& recording, const std::string& tty) {
    ASSERT_TRUE(devices_->PlugFile(recording));
    ASSERT_TRUE(devices_->AcceptExclusiveOpens(tty));
    bridge_.reset();
    bridge_ = std::make_unique<Bridge>(devices_->ModuleSide(tty), module_->DevicePath(sim::SimPortRole::kDiagnostics));
    ASSERT_TRUE(bridge_->ok());
  }

  // Runs the window's work until `done` holds; false after `ms`.
  bool RunWindowUntil(const std::function<bool()>& done, int ms = 10000) { return window_thread_.RunUntil(done, ms); }

  int Count(const std::string& event) const {
    const auto events = window_.Events();
    return static_cast<int>(std::count(events.begin(), events.end(), event));
  }
  std::string Log() const {
    std::ifstream in(images_ + "/vek.log");
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::string Events() const { return ::testing::PrintToString(window_.Events()); }

  std::string folder_, images_;
  std::filesystem::path previous_dir_;
  vektest::WindowThreadQueue window_thread_;
  ProductWindow window_;
  std::unique_ptr<vektest::MockDevices> devices_;
  std::unique_ptr<sim::SimModule> module_;
  std::unique_ptr<Bridge> bridge_;
  std::unique_ptr<vek::Session> session_;
};

// The module sits in its programmer; the cable is pulled while the images are
// written, then the module is plugged back, then pulled again while idle.
TEST_F(HotPlug, APulledCableAbortsTheImagesAndAReturningModuleRestartsTheSearch) {
  sim::SimModule& module = StartModule(sim::SimState::kProgrammer);
  module.faults().Add({sim::SimState::kProgrammer, 0x07, sim::FaultKind::kPull, 0, 1});
  session_->StartDeviceSearch(vek::EventSource::kUdev);
  ASSERT_TRUE(RunWindowUntil([&] { return Count("status please plug in USB!") >= 1; }));

  // Plugged in: the search finds it through udev alone.
  PlugDiagnosticPort("module-programmer.umockdev", "ttyUSB1");
  ASSERT_TRUE(RunWindowUntil([&] { return !session_->Searching() && Count("controls 2") == 1; })) << Events();
  EXPECT_EQ(Count("status device is in download mode, please choose product!"), 1);
  const uint32_t diag = vek::TheDevice().diag_port.load();
  EXPECT_EQ(diag, vek::PreferredComNumber("1-2.3", 0));

  // The job reaches the images; the module loses power at the first block.
  ASSERT_TRUE(session_->PressStart());
  ASSERT_TRUE(RunWindowUntil([&] { return module.cable_pulled(); })) << Events();
  EXPECT_EQ(vek::TheJob().stage.load(), vek::STAGE_IMAGES);
  devices_->Unplug();
  ASSERT_TRUE(RunWindowUntil([&] { return Count("aborted") == 1; }, 3000))
      << "the job was not aborted before its own reply wait ran out: " << Events();
  EXPECT_FALSE(session_->JobRunning());
  EXPECT_EQ(Count("status download failed!"), 1);
  EXPECT_EQ(Count(std::string("box 1|Error|") + kRemovedText), 1);
  EXPECT_NE(Log().find(kRemovedText), std::string::npos);
  EXPECT_EQ(Count("status (search restarted)"), 0);  // a job ran: the removal does not restart the search

  // Plugged back, on the freed ttyUSB0: its arrival restarts the search, which finds it.
  module.PlugCable();
  PlugDiagnosticPort("module-bootloader.umockdev", "ttyUSB0");
  ASSERT_TRUE(RunWindowUntil([&] { return Count("status (search restarted)") == 1; })) << Events();
  ASSERT_TRUE(RunWindowUntil([&] { return !session_->Searching() && Count("controls 2") == 2; })) << Events();
  EXPECT_EQ(vek::TheDevice().diag_port.load(), diag);

  // Pulled while idle: the search starts over and nothing is aborted.
  module.PullCable();
  devices_->Unplug();
  ASSERT_TRUE(RunWindowUntil([&] { return Count("status (search restarted)") == 2; })) << Events();
  ASSERT_TRUE(RunWindowUntil([&] { return Count("status please plug in USB!") >= 2; })) << Events();
  EXPECT_EQ(Count("aborted"), 1);
  EXPECT_EQ(Count(std::string("box 1|Error|") + kRemovedText), 1);
}

}  // namespace
