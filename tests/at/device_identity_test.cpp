#include "at/device_identity.h"

#include <gtest/gtest.h>

#include "at_test_support.h"
#include "recording_window.h"

namespace {

using Events = std::vector<std::string>;

sim::AtOptions ModuleNamed(const std::string& model, const std::string& revision) {
  sim::AtOptions at;
  at.manufacturer = "X";
  at.model = model;
  at.revision = revision;
  at.imei = "123456789012345";
  return at;
}

TEST(DeviceIdentity, TheSpecialModelIsRecognisedAndItsRestoreDefaultDisabled) {
  vektest::SimulatedAtModule module(ModuleNamed("ZX4410QRA", "ABC_HY1"));
  ASSERT_TRUE(module.started());
  vektest::RecordingWindow window;
  vek::DeviceInfo& device = vek::TheDevice();
  device.special_model = 0;

  EXPECT_TRUE(vek::ReadDeviceIdentity(module.AtPort(), 0));

  EXPECT_EQ(window.Events(), (Events{"match [ ABC_HY1]", "check restore default 0", "enable restore default 0",
                                     "imei [IMEI: 123456789012345]", "match [ ABC_HY1]",
                                     "imei [IMEI: 123456789012345]", "sw version [SW version: ABC_HY1]"}));
  EXPECT_EQ(device.special_model.load(), 1);
  EXPECT_EQ(device.imei.Get(), " 123456789012345");
  EXPECT_EQ(device.sw_version.Get(), " ABC_HY1");
  EXPECT_EQ(device.product_m.load(), 12);
  EXPECT_EQ(device.product_d.load(), 34);
  EXPECT_EQ(device.ids_valid.load(), 1);
}

TEST(DeviceIdentity, ProductIdsComeFromTheDeviceInfoLine) {
  struct Case {
    std::string device_info;
    int m, d, valid;
  };
  for (const Case& c : {Case{"12,34", 12, 34, 1}, Case{"7", 7, 0, 1}, Case{"", 0, 0, 0}}) {
    sim::AtOptions at = ModuleNamed("SM100", "V1");
    at.device_info = c.device_info;
    vektest::SimulatedAtModule module(at);
    ASSERT_TRUE(module.started());
    vek::DeviceInfo& device = vek::TheDevice();
    device.product_m = -1;
    device.product_d = -1;
    device.special_model = 1;
    vektest::RecordingWindow window;
    EXPECT_TRUE(vek::ReadDeviceIdentity(module.AtPort(), 0)) << c.device_info;
    EXPECT_EQ(device.product_m.load(), c.m) << c.device_info;
    EXPECT_EQ(device.product_d.load(), c.d) << c.device_info;
    EXPECT_EQ(device.ids_valid.load(), c.valid) << c.device_info;
    // An ordinary model: no special handling, "Restore default" enabled.
    EXPECT_EQ(device.special_model.load(), 0);
    EXPECT_EQ(window.Events().at(1), "enable restore default 1");
  }
}

TEST(DeviceIdentity, AModuleThatKnowsOnlyAtiIsAskedTwiceAndHasNoProductIds) {
  sim::AtOptions at = ModuleNamed("SM100", "ATI_ONLY_1");
  at.answers_maker_command = false;
  vektest::SimulatedAtModule module(at);
  ASSERT_TRUE(module.started());
  vektest::RecordingWindow window;
  vek::DeviceInfo& device = vek::TheDevice();
  device.ids_valid = 1;
  device.product_m = 5;

  EXPECT_TRUE(vek::ReadDeviceIdentity(module.AtPort(), 0));

  EXPECT_EQ(device.sw_version.Get(), " ATI_ONLY_1");  // only the second ATI stores it
  EXPECT_EQ(device.ids_valid.load(), 0);
  EXPECT_EQ(device.product_m.load(), 0);
  EXPECT_EQ(window.Events(), (Events{"match [ ATI_ONLY_1]", "enable restore default 1",
                                     "imei [IMEI: 123456789012345]", "sw version [SW version: ATI_ONLY_1]"}));
}

TEST(DeviceIdentity, ASilentModuleChangesNothing) {
  sim::AtOptions at = ModuleNamed("SM100", "V1");
  at.silent = true;
  vektest::SimulatedAtModule module(at);
  ASSERT_TRUE(module.started());
  vektest::RecordingWindow window;
  vek::DeviceInfo& device = vek::TheDevice();
  device.sw_version.Set("old");
  device.imei.Set("kept");
  device.ids_valid = 1;

  EXPECT_FALSE(vek::ReadDeviceIdentity(module.AtPort(), 0));

  EXPECT_TRUE(window.Events().empty());
  EXPECT_EQ(device.sw_version.Get(), "old");
  EXPECT_EQ(device.imei.Get(), "kept");
  EXPECT_EQ(device.ids_valid.load(), 1);
}

TEST(DeviceIdentity, ABusyAtPortGivesNoIdentityButTheNmeaPortStillAnswers) {
  sim::AtOptions at = ModuleNamed("SM100", "V1");
  at.at_port_busy = true;
  vektest::SimulatedAtModule module(at);
  ASSERT_TRUE(module.started());
  vektest::RecordingWindow window;
  EXPECT_FALSE(vek::ReadDeviceIdentity(module.AtPort(), 0));
  EXPECT_TRUE(window.Events().empty());
  EXPECT_TRUE(vek::ReadDeviceIdentity(module.NmeaPort(), 0));
  EXPECT_EQ(vek::TheDevice().sw_version.Get(), " V1");
}

TEST(DeviceIdentity, AfterADownloadTheNewVersionIsKeptApart) {
  sim::AtOptions at = ModuleNamed("ZX4410QRA", "V1");
  at.revision_after_download = "V2";
  vektest::SimulatedAtModule module(at);
  ASSERT_TRUE(module.started());
  {
    std::lock_guard lock(module.module().device().mutex);
    module.module().device().downloads = 1;
  }
  vektest::RecordingWindow window;
  vek::DeviceInfo& device = vek::TheDevice();
  device.sw_version.Set(" V1");

  EXPECT_TRUE(vek::ReadDeviceIdentity(module.AtPort(), 1));

  EXPECT_EQ(device.new_sw_version.Get(), " V2");
  EXPECT_EQ(device.sw_version.Get(), " V1");
  // The "Restore default" box is left alone during a job; the label shows the ATI version.
  EXPECT_EQ(device.special_model.load(), 1);
  EXPECT_EQ(window.Events(), (Events{"match [ V2]", "imei [IMEI: 123456789012345]", "sw version [SW version: V2]"}));
}

TEST(DeviceIdentity, AnMeidStandsInForTheImei) {
  sim::AtOptions at = ModuleNamed("SM100", "V1");
  at.meid = "A1000009876543";
  vektest::SimulatedAtModule module(at);
  ASSERT_TRUE(module.started());
  vektest::RecordingWindow window;
  EXPECT_TRUE(vek::ReadDeviceIdentity(module.AtPort(), 0));
  EXPECT_EQ(vek::TheDevice().imei.Get(), " A1000009876543");
  EXPECT_EQ(window.Events().at(2), "imei [MEID: A1000009876543]");
}

TEST(DeviceIdentity, OverlongValuesStayInsideTheirFields) {
  // A 400-character version: the reply fills the whole read and the version has no line end.
  sim::AtOptions at = ModuleNamed("SM100", std::string(400, 'R'));
  vektest::SimulatedAtModule module(at);
  ASSERT_TRUE(module.started());
  vektest::RecordingWindow window;
  EXPECT_TRUE(vek::ReadDeviceIdentity(module.AtPort(), 0));
  EXPECT_EQ(vek::TheDevice().sw_version.Get(), " " + std::string(48, 'R'));
  EXPECT_EQ(window.Events().front(), "match [ " + std::string(48, 'R') + "]");

  sim::AtOptions long_imei = ModuleNamed("SM100", "V1");
  long_imei.imei = std::string(40, '9');
  vektest::SimulatedAtModule second(long_imei);
  ASSERT_TRUE(second.started());
  EXPECT_TRUE(vek::ReadDeviceIdentity(second.AtPort(), 0));
  EXPECT_EQ(vek::TheDevice().imei.Get(), " " + std::string(18, '9'));
}

TEST(DeviceIdentity, BinaryBytesAndANulEndTheReplyText) {
  // The NUL in the model line ends the text before "Revision:" and "IMEI:".
  sim::AtOptions at = ModuleNamed(std::string("\xff\x7e\x01\0\x7d garbage", 12), "V1");
  vektest::SimulatedAtModule module(at);
  ASSERT_TRUE(module.started());
  vektest::RecordingWindow window;
  vek::TheDevice().imei.Set("kept");
  EXPECT_TRUE(vek::ReadDeviceIdentity(module.AtPort(), 0));
  EXPECT_EQ(vek::TheDevice().imei.Get(), "kept");
  EXPECT_TRUE(vek::TheDevice().sw_version.Empty());
  EXPECT_EQ(window.Events(), (Events{"enable restore default 1", "imei [MEID:]", "imei [MEID:]"}));
}

}  // namespace
