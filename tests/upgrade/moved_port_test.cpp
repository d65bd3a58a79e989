// A module that drops off the bus at every change of program and comes back as
// another USB device: the job follows it by where it is plugged in, and never
// takes a port of another module.
#include <gtest/gtest.h>

#include <fstream>

#include "upgrade/moved_port.h"
#include "upgrade/port_discovery.h"
#include "upgrade_test_support.h"

namespace {

using sim::SimState;
using upgradetest::InOrder;

constexpr uint8_t kModeChange = 0x29;
constexpr uint8_t kNvWrite = 0x27;
constexpr const char* kUsbPath = "1-2.3";
constexpr const char* kReport = "1|OK|update version  ZX2180_SIM_V1.0 to version  ZX2180_SIM_V1.1";

class MovedPort : public upgradetest::UpgradeTest {
 protected:
  // The module's ports vanish at the switch and come back a moment later.
  static sim::SimModuleOptions ReenumeratingModule(const std::string& usb_path) {
    sim::SimModuleOptions options = QuickModule();
    options.usb.path = usb_path;
    options.usb.switch_reenumerate = true;
    options.usb.switch_delay_ms = 1000;
    return options;
  }
  std::vector<uint8_t> FirmwareCodes() const { return RequestCodes(SimState::kFirmware); }
};

// Backup, download and restore, with the switch re-enumerating under the same
// number, and under new numbers for the download device and the firmware after
// the download's reset.
class MovedPortJob : public MovedPort, public testing::WithParamInterface<bool> {};

TEST_P(MovedPortJob, TheWholeJobFollowsTheModuleAndSucceeds) {
  const bool new_numbers = GetParam();
  sim::SimModuleOptions options = ReenumeratingModule(kUsbPath);
  if (new_numbers) {
    options.usb.download_com = 37;
    options.usb.firmware_com_after_download = 40;
  }
  StartModule(SimState::kFirmware, options);
  LoadImages(vek::PLATFORM_6280);
  job().backup_enable = 1;
  job().restore_enable = 1;

  ASSERT_EQ(vek::RunUpgrade(job()), 1) << ::testing::PrintToString(window_.Statuses());
  EXPECT_EQ(window_.Boxes(), std::vector<std::string>{kReport});
  const std::vector<std::string> moves = {"diagnostic port moved from COM20 to COM37",
                                          "diagnostic port moved from COM37 to COM40", "AT port moved from COM21 to COM41"};
  if (new_numbers) {
    EXPECT_TRUE(InOrder(window_.Statuses(), {"switch to download...", moves[0], "go...", "waiting reset...", moves[1],
                                             "reset ok", moves[2], "normal reset..."}))
        << ::testing::PrintToString(window_.Statuses());
    EXPECT_TRUE(InOrder(window_.Logs(), moves));
    EXPECT_TRUE(InOrder(window_.Of("diag port"), {"37", "40"}));
    EXPECT_EQ(device().diag_port, 40u);
    EXPECT_EQ(device().at_port, 41u);
  } else {
    for (const std::string& move : moves) EXPECT_FALSE(window_.Has("status " + move));
    EXPECT_EQ(device().diag_port, 20u);
  }
  const auto firmware_codes = FirmwareCodes();
  EXPECT_GT(std::count(firmware_codes.begin(), firmware_codes.end(), kNvWrite), 0);
  // The normal reset reaches the firmware wherever it came back.
  EXPECT_TRUE(vektest::Eventually([&] {
    const auto codes = FirmwareCodes();
    return !codes.empty() && codes.back() == kModeChange;
  }, 5000));
}

INSTANTIATE_TEST_SUITE_P(Numbers, MovedPortJob, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "NewNumbers" : "SameNumber"; });

// The port that appears under a new number is not known to be this module's:
// the job fails as it always did and never sends it a byte.
class UnprovenMove : public MovedPort,
                     public testing::WithParamInterface<std::pair<const char*, const char*>> {};

TEST_P(UnprovenMove, APortOfAnotherOrAnUnknownUsbPathIsNeverTaken) {
  const auto [module_path, record_path] = GetParam();
  sim::SimModuleOptions options = ReenumeratingModule(module_path);
  options.usb.download_com = 37;
  StartModule(SimState::kFirmware, options);
  device().usb_path.Set(record_path);
  LoadImages(vek::PLATFORM_6280);

  EXPECT_EQ(vek::RunUpgrade(job()), 0);
  EXPECT_TRUE(window_.Has("box 1|Error|can't open diagnostic COM20, maybe the diagnostic com port is changed!"));
  EXPECT_TRUE(RequestCodes(SimState::kBootLoader).empty());
  EXPECT_EQ(device().diag_port, 20u);
  EXPECT_TRUE(window_.Of("diag port").empty());
}

INSTANTIATE_TEST_SUITE_P(Paths, UnprovenMove,
                         testing::Values(std::pair{"1-2.3", "1-2.4"}, std::pair{"", ""}, std::pair{"1-2.3", ""}),
                         [](const auto& info) {
                           return std::string(*info.param.second ? "AnotherPath" : *info.param.first ? "HostKnowsNone" : "NoPath");
                         });

// Two diagnostic ports at the module's path (a hub that reuses the path, a stale
// listing): which one is the module's cannot be told, so neither is taken.
TEST_F(MovedPort, TwoCandidatesAtTheSamePathAreBothRefused) {
  const std::string map = work_.File("ports");
  auto write = [&](const std::string& lines) {
    std::ofstream(map) << lines;
    vek::SetPortMapPath(map);
  };
  device().usb_path.Set(kUsbPath);
  write("/dev/null\tM Diagnostics (COM37)\t1-2.3\n/dev/null\tM AT Port (COM38)\t1-2.3\n");
  EXPECT_EQ(vek::MovedPortNumber(vek::kRoleDiagnostics, 20), 37u);
  EXPECT_EQ(vek::MovedPortNumber(vek::kRoleDiagnostics, 37), std::nullopt);  // not gone
  write("/dev/null\tM Diagnostics (COM37)\t1-2.3\n/dev/null\tN Diagnostics (COM47)\t1-2.3\n");
  EXPECT_EQ(vek::MovedPortNumber(vek::kRoleDiagnostics, 20), std::nullopt);
}

}  // namespace
