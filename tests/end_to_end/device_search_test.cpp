// The device search as both front ends run it (vek::Session): the connect task's
// three waiting loops, and the search starting over when the module comes back.
// The test's own thread plays the window's thread.
#include <gtest/gtest.h>

#include <unistd.h>

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
#include "link/serial_port.h"
#include "recording_window.h"
#include "records/job_records.h"
#include "sim/demo_images.h"
#include "sim/sim_module.h"
#include "test_support.h"
#include "upgrade/supported_models.h"
#include "window_thread_queue.h"

namespace {

using sim::SimPortRole;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Chooses the product from the identity, as the windows' Product lists do.
class ProductWindow : public vektest::RecordingWindow {
 public:
  void MatchProduct(const std::string& identification) override {
    vek::MatchProduct(vek::TheJob(), identification);
    RecordingWindow::MatchProduct(identification);
  }
};

class DeviceSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    images_ = dir_.File("images");
    ASSERT_TRUE(sim::WriteImageFolder(images_, vek::PLATFORM_6280, 1024, 1024));
    ports_ = dir_.File("ports");
    vek::SetPortMapPath(ports_);
    previous_dir_ = std::filesystem::current_path();
    // A restarted search looks for the images in the working folder again; vek.log goes there too.
    std::filesystem::current_path(images_);
    session_ = vektest::SessionOnQueue(window_, window_thread_);
    session_->Initialise(images_);
  }

  void TearDown() override {
    session_.reset();
    module_.reset();
    vek::SetPortMapPath("");
    std::filesystem::current_path(previous_dir_);
  }

  sim::SimModule& StartModule(sim::SimModuleOptions options = {}) {
    options.port_map_path = ports_;
    options.at.model = "ZX2180";
    options.at.revision = "ZX2180_SIM_V1.0";
    module_ = std::make_unique<sim::SimModule>(options);
    EXPECT_TRUE(module_->Start());
    return *module_;
  }

  // Runs the window's work until `done` holds; false after `ms`.
  bool RunWindowUntil(const std::function<bool()>& done, int ms = 10000) { return window_thread_.RunUntil(done, ms); }

  int Count(const std::string& event) const {
    const auto events = window_.Events();
    return static_cast<int>(std::count(events.begin(), events.end(), event));
  }
  bool Seen(const std::string& event) const { return Count(event) > 0; }

  std::string Log() const {
    std::ifstream in(images_ + "/vek.log");
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  vektest::TempDir dir_;
  std::string images_, ports_;
  std::filesystem::path previous_dir_;
  vektest::WindowThreadQueue window_thread_;
  ProductWindow window_;
  std::unique_ptr<sim::SimModule> module_;
  std::unique_ptr<vek::Session> session_;
};

TEST_F(DeviceSearch, WaitsForTheModuleToBePluggedIn) {
  session_->StartDeviceSearch();
  ASSERT_TRUE(RunWindowUntil([&] { return Count("status please plug in USB!") >= 2; }));
  EXPECT_FALSE(Seen("status init device..."));
  StartModule();
  ASSERT_TRUE(RunWindowUntil([&] { return Seen("status ready to download"); }));
  EXPECT_TRUE(Seen("diag port 20"));
  EXPECT_EQ(vek::TheJob().platform.load(), vek::PLATFORM_6280);
  EXPECT_TRUE(RunWindowUntil([&] { return !session_->Searching(); }));
}

TEST_F(DeviceSearch, ProbesAgainWhileTheDiagnosticPortIsBusy) {
  sim::SimModule& module = StartModule();
  // Another program holds the diagnostic port.
  const vek::PortHandle held = vek::OpenSerialDevice(module.ComNumber(SimPortRole::kDiagnostics), vek::PortShare::kExclusive);
  ASSERT_NE(held, vek::kInvalidPort);
  session_->StartDeviceSearch();
  ASSERT_TRUE(RunWindowUntil([&] { return Count("status can't connect to diagnostic port, maybe it is using!") >= 2; }));
  EXPECT_FALSE(Seen("status ready to download"));
  vek::CloseSerialDevice(held, vek::PortShare::kExclusive);
  ASSERT_TRUE(RunWindowUntil([&] { return Seen("status ready to download"); }));
  EXPECT_TRUE(Contains(Log(), "connect to diagnostic port success!"));
}

TEST_F(DeviceSearch, ReadsTheIdentityOverTheNmeaPortOrWaitsForTheAtPort) {
  sim::SimModuleOptions options;
  options.at.nmea_answers = false;
  sim::SimModule& module = StartModule(options);
  const vek::PortHandle held = vek::OpenSerialDevice(module.ComNumber(SimPortRole::kAt), vek::PortShare::kExclusive);
  ASSERT_NE(held, vek::kInvalidPort);
  session_->StartDeviceSearch();
  ASSERT_TRUE(RunWindowUntil([&] { return Count("status can't connect to AT port, maybe it is using!") >= 2; }));
  vek::CloseSerialDevice(held, vek::PortShare::kExclusive);
  ASSERT_TRUE(RunWindowUntil([&] { return Seen("status ready to download"); }));
  EXPECT_TRUE(Contains(Log(), "connect to AT port successfully!"));
}

TEST_F(DeviceSearch, TheNmeaPortStandsInForABusyAtPort) {
  sim::SimModuleOptions options;
  options.at.at_port_busy = true;
  StartModule(options);
  session_->StartDeviceSearch();
  ASSERT_TRUE(RunWindowUntil([&] { return Seen("status ready to download"); }));
  EXPECT_FALSE(Seen("status can't connect to AT port, maybe it is using!"));
  EXPECT_TRUE(Contains(Log(), "connect to AT port successfully!"));
}

TEST_F(DeviceSearch, StartsOverWhenTheModuleComesBack) {
  sim::SimModule& module = StartModule();
  session_->StartDeviceSearch();
  ASSERT_TRUE(RunWindowUntil([&] { return Seen("status ready to download") && !session_->Searching(); }));
  const int plug_in_before = Count("status please plug in USB!");

  module.PullCable();
  ASSERT_TRUE(RunWindowUntil([&] { return Count("status please plug in USB!") > plug_in_before; }));
  EXPECT_EQ(vek::TheDevice().diag_port.load(), 0u);  // everything about the old module was reset
  module.PlugCable();
  ASSERT_TRUE(RunWindowUntil([&] { return Count("status ready to download") == 2 && !session_->Searching(); }))
      << ::testing::PrintToString(window_.Events());
  EXPECT_EQ(vek::TheDevice().diag_port.load(), 20u);
}

}  // namespace
