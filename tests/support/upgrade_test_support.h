// A job against the simulated module, with everything the operator would see
// recorded in order: status texts, log entries, message boxes, progress and the
// window's controls, each with the job's stage at that moment.
#pragma once

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/launch_options.h"
#include "app/log_file.h"
#include "images/image_loader.h"
#include "images/image_set.h"
#include "link/port_source.h"
#include "link/serial_port.h"
#include "records/job_records.h"
#include "records/reporting.h"
#include "records/window_notifications.h"
#include "recording_window.h"
#include "sim/demo_images.h"
#include "sim/sim_module.h"
#include "test_support.h"
#include "upgrade/upgrade_procedure.h"

namespace upgradetest {

// True when `expected` occur in `texts` in this order (others may lie between).
inline bool InOrder(const std::vector<std::string>& texts, const std::vector<std::string>& expected) {
  auto at = texts.begin();
  for (const std::string& e : expected) {
    at = std::find(at, texts.end(), e);
    if (at == texts.end()) return false;
    ++at;
  }
  return true;
}

inline std::vector<std::string> Without(std::vector<std::string> texts, const std::string& prefix) {
  std::erase_if(texts, [&](const std::string& t) { return t.rfind(prefix, 0) == 0; });
  return texts;
}

inline int CountOf(const std::vector<std::string>& texts, const std::string& text) {
  return static_cast<int>(std::count(texts.begin(), texts.end(), text));
}

// Counts the times a device file is opened (inotify), to see whether the host
// kept its port or reopened it. Closes are watched too: inotify folds identical
// events that follow each other unread.
class OpenCounter {
 public:
  explicit OpenCounter(const std::string& path) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0) inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_CLOSE);
  }
  ~OpenCounter() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  int Opens() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->mask & IN_OPEN) ++opens_;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return opens_;
  }

 private:
  int fd_ = -1;
  int opens_ = 0;
};

// Every test: a scratch working folder, the standard callbacks reporting into a
// The recording window and a recording log sink, fresh job and device records.
class UpgradeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_cwd_ = std::filesystem::current_path().string();
    std::filesystem::current_path(work_.path());
    vek::UpgradeJob& job = vek::TheJob();
    vek::DeviceInfo& device = vek::TheDevice();
    vek::CloseDiagPort();
    vek::FreeImageSet();
    vek::CloseLogFile();
    vek::ResetForNewDevice(job, device, work_.path());
    job.download_enable = 1;
    job.backup_enable = 0;
    job.restore_enable = 0;
    job.restore_default = 0;
    job.erase_efs = 0;
    device.special_model = 0;
    vek::JobResultText().Clear();
    vek::InstallStandardCallbacks(job);
    vek::SetWindowNotifications(&window_);
    vek::SetLogSink([this](std::string_view entry) { window_.Record("log " + std::string(entry)); });
    vek::LoadLaunchOptions();  // no config.ini here: the defaults
  }

  void TearDown() override {
    vek::CloseDiagPort();
    vek::FreeImageSet();
    if (module_) module_->Stop();
    vek::SetPortMapPath("");
    vek::SetWindowNotifications(nullptr);
    vek::SetLogSink(nullptr);
    vek::CloseLogFile();
    std::filesystem::current_path(old_cwd_);
    vek::LoadLaunchOptions();
  }

  // Starts the simulated module and gives the device record its port numbers,
  // as the device-connect task would.
  void StartModule(sim::SimState state, sim::SimModuleOptions options = {}) {
    options.state = state;
    options.port_map_path = ports_.File("ports");
    options.at.model = "ZX2180";
    options.at.revision = "ZX2180_SIM_V1.0";
    if (options.at.revision_after_download.empty()) options.at.revision_after_download = "ZX2180_SIM_V1.1";
    module_ = std::make_unique<sim::SimModule>(options);
    ASSERT_TRUE(module_->Start());
    vek::SetPortMapPath(options.port_map_path);
    vek::DeviceInfo& device = vek::TheDevice();
    device.diag_port = module_->ComNumber(sim::SimPortRole::kDiagnostics);
    device.at_port = module_->ComNumber(sim::SimPortRole::kAt);
    device.nmea_port = module_->ComNumber(sim::SimPortRole::kNmea);
    device.usb_path.Set(options.usb.path);
    device.sw_version.Set(" " + options.at.revision);  // as read after "Revision:", blank included
  }

  // Module options with short reboots, so a job takes a fraction of a second.
  static sim::SimModuleOptions QuickModule() {
    sim::SimModuleOptions options;
    options.bootloader.reenumerate_delay_ms = 100;
    options.programmer.reboot_delay_ms = 100;
    options.firmware.reboot_delay_ms = 100;
    return options;
  }

  // Writes an image folder for `platform` and loads it into the image set.
  void LoadImages(uint32_t platform) {
    const std::string folder = work_.File("images");
    ASSERT_TRUE(sim::WriteImageFolder(folder, platform, 1500, 1024));
    vek::TheJob().platform = platform;
    vek::TheJob().image_path.Set(folder);
    ASSERT_TRUE(vek::LoadImageSet(vek::TheJob()));
  }

  void WriteConfig(const std::string& text) {
    std::ofstream(work_.File("config.ini")) << text;
    vek::LoadLaunchOptions();
  }

  // The first bytes of the packets the module received (its request codes), in order.
  std::vector<uint8_t> RequestCodes(std::optional<sim::SimState> in_state = std::nullopt) const {
    std::vector<uint8_t> out;
    for (const auto& request : module_->Requests())
      if (!request.packet.empty() && (!in_state || request.state == *in_state)) out.push_back(request.packet[0]);
    return out;
  }

  vek::UpgradeJob& job() { return vek::TheJob(); }
  vek::DeviceInfo& device() { return vek::TheDevice(); }
  uint32_t DiagCom() const { return module_->ComNumber(sim::SimPortRole::kDiagnostics); }

  vektest::TempDir work_;   // the working folder: vek.log, backup.nvb, config.ini, images
  vektest::TempDir ports_;  // the port map
  std::string old_cwd_;
  vektest::RecordingWindow window_;
  std::unique_ptr<sim::SimModule> module_;
};

}  // namespace upgradetest
