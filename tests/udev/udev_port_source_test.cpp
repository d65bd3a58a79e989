// The udev port source over mock device trees written like `umockdev-record`
// output. Runs under umockdev-wrapper, which points libudev at the testbed.
#include "link/udev_port_source.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "device/port_watcher.h"
#include "link/com_port_name.h"
#include "mock_devices.h"
#include "link/usb_port_naming.h"
#include "records/job_records.h"
#include "records/reporting.h"
#include "upgrade/moved_port.h"
#include "upgrade/port_discovery.h"

namespace {

struct TtyInterface {
  int number;
  std::string tty;
  std::string description;  // the interface string; empty: none
};

// A USB module at `port` (e.g. "3.2" on bus 1) with one tty per interface.
std::string RecordedModule(int bus, const std::string& port, const std::string& vid, const std::string& pid,
                           const std::vector<TtyInterface>& interfaces) {
  const std::string name = std::to_string(bus) + "-" + port;
  const std::string usb = "/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(bus) + "/" + name;
  std::string text = "P: " + usb + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=" + vid +
                     "\nA: idProduct=" + pid + "\nA: busnum=" + std::to_string(bus) + "\nA: devpath=" + port + "\n\n";
  for (const TtyInterface& i : interfaces) {
    char number[3];
    snprintf(number, sizeof number, "%02x", i.number);
    const std::string interface = usb + "/" + name + ":1." + std::to_string(i.number);
    text += "P: " + interface + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=" + number + "\n";
    if (!i.description.empty()) text += "A: interface=" + i.description + "\n";
    text += "\nP: " + interface + "/" + i.tty + "\nE: SUBSYSTEM=usb-serial\n\n";
    text += "P: " + interface + "/" + i.tty + "/tty/" + i.tty + "\nN: " + i.tty +
            "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + i.tty + "\n\n";
  }
  return text;
}

// A serial port of the machine itself: no USB parent, never listed.
const char* kBuiltInSerialPort =
    "P: /devices/pnp0/00:04/tty/ttyS0\nN: ttyS0\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/ttyS0\n\n";

class UdevPortSource : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(vektest::UnderUmockdevWrapper());
    unsetenv("VEK_PORT_MAP");
    char pattern[] = "/tmp/vek-udev-XXXXXX";
    config_ = mkdtemp(pattern);
    setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
    // The testbed announces devices as the udev service would.
    devices_ = std::make_unique<vektest::MockDevices>();
    vek::SetSystemPortSource(std::make_shared<vek::UdevPortSource>(vek::EventSource::kUdev));
  }
  void TearDown() override {
    vek::SetSystemPortSource(nullptr);
    devices_.reset();
    std::filesystem::remove_all(config_);
  }

  // Replaces the present devices.
  void Plug(const std::string& recording) {
    devices_->Unplug();
    devices_->Plug(recording);
  }
  void PlugFile(const std::string& name) { Plug(vektest::ReadRecording(name)); }
  void Unplug() { devices_->Unplug(); }
  void WriteRoles(const std::string& text) {
    std::filesystem::create_directories(config_ + "/vek");
    std::ofstream(config_ + "/vek/usb-roles.conf") << text;
  }

  static std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const auto& port : vek::ActivePortSource()->ListPorts()) names.push_back(port.friendly_name + " = " + port.device_path);
    return names;
  }
  static std::string Com(uint32_t number) { return " (COM" + std::to_string(number) + ")"; }

  std::unique_ptr<vektest::MockDevices> devices_;
  std::string config_;
};

const std::vector<TtyInterface> kDescribed = {
    {0, "ttyUSB0", "Module Diagnostics"}, {1, "ttyUSB1", "Module NMEA"}, {2, "ttyUSB2", "Module AT Port"}};
const std::vector<TtyInterface> kUndescribed = {{0, "ttyUSB0", ""}, {1, "ttyUSB1", ""}, {2, "ttyUSB2", ""}};

// A module recorded in its three modes on USB port 1-2.3: its firmware names its
// three interfaces; the boot loader and the programmer (product 4001, one
// interface) name nothing and take the role the built-in table gives them.
TEST_F(UdevPortSource, ARecordedModuleKeepsItsNumbersThroughItsThreeModes) {
  const uint32_t diag = vek::PreferredComNumber("1-2.3", 0);
  const std::vector<std::string> firmware = {"Module Diagnostics" + Com(diag) + " = /dev/ttyUSB0",
                                             "Module NMEA" + Com(diag + 1) + " = /dev/ttyUSB1",
                                             "Module AT Port" + Com(diag + 2) + " = /dev/ttyUSB2"};
  vek::DeviceInfo& device = vek::TheDevice();
  Plug(kBuiltInSerialPort + vektest::ReadRecording("module-firmware.umockdev"));
  EXPECT_EQ(Names(), firmware);
  device.diag_port = device.at_port = device.nmea_port = 0;
  EXPECT_TRUE(vek::FindModulePorts());
  EXPECT_EQ(device.diag_port.load(), diag);
  EXPECT_EQ(device.nmea_port.load(), diag + 1);
  EXPECT_EQ(device.at_port.load(), diag + 2);
  EXPECT_EQ(vek::CountDiagPorts(), 1);

  // Switched to its boot loader it comes back on the freed ttyUSB0.
  PlugFile("module-bootloader.umockdev");
  EXPECT_EQ(Names(), (std::vector<std::string>{"Download Diagnostics" + Com(diag) + " = /dev/ttyUSB0"}));
  device.diag_port = 0;
  EXPECT_TRUE(vek::FindModulePorts());
  EXPECT_EQ(device.diag_port.load(), diag);
  EXPECT_EQ(device.at_port.load(), diag + 2);  // no AT port now: the old number stays

  // The programmer it was given re-enumerates once more, on another tty.
  PlugFile("module-programmer.umockdev");
  EXPECT_EQ(Names(), (std::vector<std::string>{"Download Diagnostics" + Com(diag) + " = /dev/ttyUSB1"}));
  device.diag_port = 0;
  EXPECT_TRUE(vek::FindModulePorts());
  EXPECT_EQ(device.diag_port.load(), diag);

  // Reset into its new firmware: the numbers it had at the start.
  PlugFile("module-firmware.umockdev");
  EXPECT_EQ(Names(), firmware);
  device.diag_port = device.at_port = device.nmea_port = 0;
  EXPECT_TRUE(vek::FindModulePorts());
  EXPECT_EQ(device.diag_port.load(), diag);
  EXPECT_EQ(device.at_port.load(), diag + 2);
}

// Where the module is plugged in goes with its ports, the same in its firmware
// and in its boot loader (another product id); a devpath that is not a USB port
// path leaves the port listed but its place unknown.
TEST_F(UdevPortSource, PortsCarryTheUsbPathOfTheirModule) {
  const uint32_t diag = vek::PreferredComNumber("1-2.3", 0);
  Plug(vektest::ReadRecording("module-firmware.umockdev"));
  EXPECT_EQ(vek::ResolveUsbPath(diag), "1-2.3");
  EXPECT_EQ(vek::ResolveUsbPath(diag + 2), "1-2.3");
  EXPECT_EQ(vek::ResolveUsbPath(diag + 3), std::nullopt);
  PlugFile("module-bootloader.umockdev");
  EXPECT_EQ(vek::ResolveUsbPath(diag), "1-2.3");

  std::string odd = RecordedModule(2, "7", "1234", "0001", kDescribed);
  const std::string devpath = "A: devpath=7\n";
  odd.replace(odd.find(devpath), devpath.size(), "A: devpath=7/../../x\n");
  Plug(odd);
  const auto ports = vek::ActivePortSource()->ListPorts();
  ASSERT_EQ(ports.size(), 3u);
  for (const auto& port : ports) EXPECT_EQ(port.usb_path, "") << port.friendly_name;
}

TEST_F(UdevPortSource, UndescribedInterfacesTakeTheirRolesFromTheUsersTableOrTheTtyName) {
  WriteRoles("# this module names nothing itself\n1234:0001:0 Module Diagnostics\n1234:0001:2 Module AT Port\n"
             "1234:0001:x broken line\n");
  Plug(RecordedModule(1, "3", "1234", "0001", kUndescribed));
  const uint32_t diag = vek::PreferredComNumber("1-3", 0);
  EXPECT_EQ(Names(), (std::vector<std::string>{"Module Diagnostics" + Com(diag) + " = /dev/ttyUSB0",
                                               "ttyUSB1" + Com(diag + 1) + " = /dev/ttyUSB1",
                                               "Module AT Port" + Com(diag + 2) + " = /dev/ttyUSB2"}));
}

TEST_F(UdevPortSource, TwoModulesOnTwoUsbPortsGetTwoSetsOfNumbers) {
  Plug(RecordedModule(1, "3", "1234", "0001", kDescribed) +
       RecordedModule(1, "4", "1234", "0001",
                      {{0, "ttyUSB3", "Module Diagnostics"}, {1, "ttyUSB4", "Module NMEA"}, {2, "ttyUSB5", "Module AT Port"}}));
  std::vector<uint32_t> numbers;
  for (const auto& port : vek::ActivePortSource()->ListPorts())
    numbers.push_back(vek::ComNumberOfName(port.friendly_name).value());
  ASSERT_EQ(numbers.size(), 6u);
  std::sort(numbers.begin(), numbers.end());
  EXPECT_EQ(std::unique(numbers.begin(), numbers.end()), numbers.end());
  EXPECT_EQ(vek::CountDiagPorts(), 2);
}

// A module whose boot loader comes back as another USB device (another product
// id) in the same socket keeps its place: under its number while it keeps its
// interface, followed by its USB path when its diagnostic interface moves, and
// another module's boot loader beside it is never taken for it.
TEST_F(UdevPortSource, ABootLoaderBackAsAnotherDeviceKeepsItsPlace) {
  vek::UpgradeJob& job = vek::TheJob();
  vek::DeviceInfo& device = vek::TheDevice();
  vek::InstallStandardCallbacks(job);
  PlugFile("module-firmware.umockdev");
  device.diag_port = 0;
  ASSERT_TRUE(vek::FindModulePorts());
  const uint32_t diag = device.diag_port;
  ASSERT_EQ(device.usb_path.Get(), "1-2.3");
  const std::string neighbour = RecordedModule(1, "3", "1234", "4001", {{0, "ttyUSB5", "Download Diagnostics"}});

  Plug(vektest::ReadRecording("module-bootloader.umockdev") + "\n" + neighbour);
  ASSERT_EQ(vek::CountDiagPorts(), 2);
  EXPECT_EQ(vek::ResolveUsbPath(diag), "1-2.3");
  EXPECT_EQ(vek::MovedPortNumber(vek::kRoleDiagnostics, diag), std::nullopt);  // still there

  Plug(RecordedModule(1, "2.3", "1234", "4002", {{1, "ttyUSB3", "Download Diagnostics"}}) + neighbour);
  const uint32_t moved = vek::PreferredComNumber("1-2.3", 1);
  ASSERT_NE(moved, diag);
  EXPECT_TRUE(vek::FollowDiagPort(job));
  EXPECT_EQ(device.diag_port.load(), moved);
  EXPECT_EQ(vek::ResolveUsbPath(moved), "1-2.3");

  // Gone from the bus with only the neighbour left: nothing to follow.
  Plug(neighbour);
  EXPECT_FALSE(vek::FollowDiagPort(job));
  EXPECT_EQ(device.diag_port.load(), moved);
}

TEST_F(UdevPortSource, NoUsbModuleNoPorts) {
  Plug(kBuiltInSerialPort);
  EXPECT_TRUE(Names().empty());
  vek::TheDevice().diag_port = 9;
  EXPECT_FALSE(vek::FindModulePorts());
  EXPECT_EQ(vek::TheDevice().diag_port.load(), 9u);
}

// Each thread that lists watches the events with a monitor of its own: a thread
// listing for the first time must not be handed a listing older than its monitor.
TEST_F(UdevPortSource, AThreadListingForTheFirstTimeDoesNotSeeAModulePulledBefore) {
  Plug(RecordedModule(1, "3", "1234", "0001", kDescribed));
  ASSERT_EQ(Names().size(), 3u);
  Unplug();  // nobody lists in between
  std::vector<std::string> seen = {"not listed"};
  std::thread([&] { seen = Names(); }).join();
  EXPECT_TRUE(seen.empty()) << ::testing::PrintToString(seen);
  EXPECT_TRUE(Names().empty());
}

// Counts the listings of the system's source, so a test knows when the watcher has seen the ports.
class CountedListings : public vek::PortSource {
 public:
  explicit CountedListings(std::shared_ptr<vek::PortSource> inner) : inner_(std::move(inner)) {}
  std::vector<vek::PortEntry> ListPorts() override {
    auto ports = inner_->ListPorts();
    std::lock_guard lock(mutex);
    ++listings;
    changed.notify_all();
    return ports;
  }
  std::mutex mutex;
  std::condition_variable changed;
  int listings = 0;

 private:
  std::shared_ptr<vek::PortSource> inner_;
};

TEST_F(UdevPortSource, PullingAndPluggingAModuleReachTheWatcherAsPortEvents) {
  auto source = std::make_shared<CountedListings>(vek::ActivePortSource());
  vek::SetSystemPortSource(source);
  Plug(kBuiltInSerialPort + vektest::ReadRecording("module-firmware.umockdev"));
  const uint32_t diag = vek::ComNumberOfName(vek::ActivePortSource()->ListPorts().at(0).friendly_name).value();
  const auto com = [](uint32_t n) { return "COM" + std::to_string(n); };

  std::vector<std::string> events;  // guarded by source->mutex
  vek::PortWatcher watcher(
      [&](vek::PortEvent event, const std::string& name) {
        std::lock_guard lock(source->mutex);
        events.push_back((event == vek::PortEvent::kArrival ? "+" : "-") + name);
        source->changed.notify_all();
      },
      vek::EventSource::kUdev);
  const auto wait_for = [&](auto done) {
    std::unique_lock lock(source->mutex);
    return source->changed.wait_for(lock, std::chrono::seconds(3), done);
  };
  int before = source->listings;
  watcher.Start();
  ASSERT_TRUE(wait_for([&] { return source->listings > before; })) << "the watcher never listed the ports";

  // Well within the watcher's slow fallback: only the events can bring these.
  Unplug();
  ASSERT_TRUE(wait_for([&] { return events.size() >= 3; })) << ::testing::PrintToString(events);
  // Back in its boot loader on the same USB port: only the diagnostic port returns.
  PlugFile("module-bootloader.umockdev");
  ASSERT_TRUE(wait_for([&] { return events.size() >= 4; }));
  watcher.Stop();
  EXPECT_EQ(events, (std::vector<std::string>{"-" + com(diag), "-" + com(diag + 1), "-" + com(diag + 2),
                                              "+" + com(diag)}));
}

}  // namespace
