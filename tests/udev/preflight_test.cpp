// The marks the pre-flight check reads from udev, over a mock device tree:
// ModemManager's ignore mark on a module's tty or on its USB device, and the
// warning that follows when a modem manager runs. Runs under umockdev-wrapper.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <umockdev.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "link/port_udev_record.h"
#include "mock_devices.h"
#include "upgrade/preflight_check.h"

namespace {

// One USB module with one tty; `tty_lines` and `usb_lines` add properties.
std::string RecordedTty(const std::string& port, const std::string& tty, const std::string& usb_lines,
                        const std::string& tty_lines) {
  const std::string usb = "/devices/pci0000:00/0000:00:14.0/usb1/1-" + port;
  const std::string interface = usb + "/1-" + port + ":1.0";
  return "P: " + usb + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n" + usb_lines + "A: idVendor=1234\nA: idProduct=0001\n\n" +
         "P: " + interface + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=00\n\n" + "P: " +
         interface + "/" + tty + "/tty/" + tty + "\nN: " + tty + "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + tty + "\n" +
         tty_lines + "\n";
}

class PreflightMarks : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(vektest::UnderUmockdevWrapper());
    testbed_ = umockdev_testbed_new();
    const std::string recording = RecordedTty("1", "ttyUSB0", "", "E: ID_MM_DEVICE_IGNORE=1\n") +
                                  RecordedTty("2", "ttyUSB1", "", "") +
                                  RecordedTty("3", "ttyUSB2", "E: ID_MM_DEVICE_IGNORE=1\n", "");
    GError* error = nullptr;
    ASSERT_TRUE(umockdev_testbed_add_from_string(testbed_, recording.c_str(), &error)) << (error ? error->message : "");
    char pattern[] = "/tmp/vek-proc-XXXXXX";
    proc_ = mkdtemp(pattern);
    std::filesystem::create_directories(proc_ + "/812");
    std::ofstream(proc_ + "/812/comm") << "ModemManager\n";
  }
  void TearDown() override {
    g_object_unref(testbed_);
    std::filesystem::remove_all(proc_);
  }

  UMockdevTestbed* testbed_ = nullptr;
  std::string proc_;
};

TEST_F(PreflightMarks, TheIgnoreMarkIsReadFromTheTtyOrItsUsbDevice) {
  const vek::PortUdevRecord marked = vek::ReadPortUdevRecord("/dev/ttyUSB0");
  EXPECT_TRUE(marked.found);
  EXPECT_TRUE(marked.modem_manager_ignore);
  const vek::PortUdevRecord unmarked = vek::ReadPortUdevRecord("/dev/ttyUSB1");
  EXPECT_TRUE(unmarked.found);
  EXPECT_FALSE(unmarked.modem_manager_ignore);
  EXPECT_TRUE(vek::ReadPortUdevRecord("/dev/ttyUSB2").modem_manager_ignore);
  EXPECT_FALSE(vek::ReadPortUdevRecord("/dev/pts/3").found);
}

TEST_F(PreflightMarks, OnlyAnUnmarkedPortDrawsTheWarning) {
  const vek::PreflightSources sources{proc_, vek::ReadPortUdevRecord};
  EXPECT_EQ(vek::ModemManagerWarning({"/dev/ttyUSB0", "/dev/ttyUSB2"}, sources), "");
  EXPECT_EQ(vek::ModemManagerWarning({"/dev/ttyUSB0", "/dev/ttyUSB1"}, sources),
            "ModemManager is running and may probe the module's ports: install VEK's udev rules (70-vek.rules) or run "
            "`sudo systemctl stop ModemManager`");
}

}  // namespace
