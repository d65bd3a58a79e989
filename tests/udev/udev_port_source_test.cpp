// The udev port source over mock device trees written like `umockdev-record`
// output. Runs under umockdev-wrapper, which points libudev at the testbed.
#include "link/udev_port_source.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <umockdev.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "device/port_watcher.h"
#include "link/com_port_name.h"
#include "link/port_discovery.h"
#include "upgrade/job_records.h"

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
    const char* preload = getenv("LD_PRELOAD");
    ASSERT_TRUE(preload && std::string(preload).find("umockdev-preload") != std::string::npos)
        << "run this under umockdev-wrapper";
    unsetenv("VEK_PORT_MAP");
    char pattern[] = "/tmp/vek-udev-XXXXXX";
    config_ = mkdtemp(pattern);
    setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
    // The testbed comes first: event sockets opened later listen to it. It
    // announces devices as the udev service would.
    testbed_ = umockdev_testbed_new();
    vek::SetSystemPortSource(std::make_shared<vek::UdevPortSource>(vek::EventSource::kUdev));
  }
  void TearDown() override {
    vek::SetSystemPortSource(nullptr);
    g_object_unref(testbed_);
    std::filesystem::remove_all(config_);
  }

  // Replaces the present devices, announcing each tty's removal and arrival as udev does.
  void Plug(const std::string& recording) {
    Unplug();
    GError* error = nullptr;
    ASSERT_TRUE(umockdev_testbed_add_from_string(testbed_, recording.c_str(), &error))
        << (error ? error->message : "");
    // The testbed announces every added device itself.
    devices_ = Syspaths(recording, "");
    ttys_ = Syspaths(recording, "E: SUBSYSTEM=tty\n");
  }
  void Unplug() {
    // ...but not a removed one.
    for (const auto& tty : ttys_) umockdev_testbed_uevent(testbed_, tty.c_str(), "remove");
    ttys_.clear();
    // Removing a device takes its children along; clearing the testbed would
    // also take the event sockets.
    std::vector<std::string> removed;
    for (const auto& device : devices_) {
      const bool gone = std::any_of(removed.begin(), removed.end(),
                                    [&](const std::string& parent) { return device.rfind(parent + "/", 0) == 0; });
      if (gone) continue;
      umockdev_testbed_remove_device(testbed_, device.c_str());
      removed.push_back(device);
    }
    devices_.clear();
    // The testbed leaves the bus links of removed devices behind; a device added
    // again needs its link back.
    gchar* root = umockdev_testbed_get_root_dir(testbed_);  // ours to free
    const std::string bus = std::string(root) + "/sys/bus";
    g_free(root);
    if (!std::filesystem::exists(bus)) return;
    for (const auto& link : std::filesystem::recursive_directory_iterator(bus))
      if (link.is_symlink() && !std::filesystem::exists(link.path())) std::filesystem::remove(link.path());
  }
  // The sysfs paths of the recording's devices whose block holds `line`.
  static std::vector<std::string> Syspaths(const std::string& recording, const std::string& line) {
    std::vector<std::string> paths;
    size_t start = 0;
    while (start < recording.size()) {
      size_t end = recording.find("\n\n", start);
      if (end == std::string::npos) end = recording.size();
      const std::string block = recording.substr(start, end - start + 1);
      if (block.rfind("P: ", 0) == 0 && block.find(line) != std::string::npos)
        paths.push_back("/sys" + block.substr(3, block.find('\n') - 3));
      start = end + 2;
    }
    return paths;
  }
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

  UMockdevTestbed* testbed_ = nullptr;
  std::vector<std::string> devices_;
  std::vector<std::string> ttys_;
  std::string config_;
};

const std::vector<TtyInterface> kDescribed = {
    {0, "ttyUSB0", "Module Diagnostics"}, {1, "ttyUSB1", "Module NMEA"}, {2, "ttyUSB2", "Module AT Port"}};
const std::vector<TtyInterface> kUndescribed = {{0, "ttyUSB0", ""}, {1, "ttyUSB1", ""}, {2, "ttyUSB2", ""}};

TEST_F(UdevPortSource, NamesPortsAfterTheirInterfaceStrings) {
  Plug(kBuiltInSerialPort + RecordedModule(1, "3", "1234", "0001", kDescribed));
  const uint32_t diag = vek::ComNumberOfName(vek::ActivePortSource()->ListPorts().at(0).friendly_name).value();
  EXPECT_EQ(Names(), (std::vector<std::string>{"Module Diagnostics" + Com(diag) + " = /dev/ttyUSB0",
                                               "Module NMEA" + Com(diag + 1) + " = /dev/ttyUSB1",
                                               "Module AT Port" + Com(diag + 2) + " = /dev/ttyUSB2"}));
  vek::TheDevice().diag_port = vek::TheDevice().at_port = vek::TheDevice().nmea_port = 0;
  EXPECT_TRUE(vek::FindModulePorts());
  EXPECT_EQ(vek::TheDevice().diag_port.load(), diag);
  EXPECT_EQ(vek::TheDevice().nmea_port.load(), diag + 1);
  EXPECT_EQ(vek::TheDevice().at_port.load(), diag + 2);
  EXPECT_EQ(vek::CountDiagPorts(), 1);
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

TEST_F(UdevPortSource, AModuleKeepsItsNumbersAcrossAModeSwitch) {
  Plug(RecordedModule(2, "1.4", "1234", "0001", kDescribed));
  vek::TheDevice().diag_port = 0;
  ASSERT_TRUE(vek::FindModulePorts());
  const uint32_t diag = vek::TheDevice().diag_port.load();
  ASSERT_NE(diag, 0u);

  // The boot loader: another product id, one undescribed interface, a new tty name.
  Plug(RecordedModule(2, "1.4", "1234", "4001", {{0, "ttyUSB3", ""}}));
  EXPECT_EQ(Names(), (std::vector<std::string>{"Download Diagnostics" + Com(diag) + " = /dev/ttyUSB3"}));

  // Back in its firmware after the reset, with tty names shifted.
  Plug(RecordedModule(2, "1.4", "1234", "0001",
                      {{0, "ttyUSB4", "Module Diagnostics"}, {1, "ttyUSB5", "Module NMEA"}, {2, "ttyUSB6", "Module AT Port"}}));
  vek::TheDevice().diag_port = vek::TheDevice().at_port = 0;
  ASSERT_TRUE(vek::FindModulePorts());
  EXPECT_EQ(vek::TheDevice().diag_port.load(), diag);
  EXPECT_EQ(vek::TheDevice().at_port.load(), diag + 2);
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

TEST_F(UdevPortSource, NoUsbModuleNoPorts) {
  Plug(kBuiltInSerialPort);
  EXPECT_TRUE(Names().empty());
  vek::TheDevice().diag_port = 9;
  EXPECT_FALSE(vek::FindModulePorts());
  EXPECT_EQ(vek::TheDevice().diag_port.load(), 9u);
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
  Plug(kBuiltInSerialPort + RecordedModule(1, "3", "1234", "0001", kDescribed));
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
  ASSERT_TRUE(wait_for([&] { return events.size() >= 3; }));
  // Back on the same USB port, under new tty names (the testbed keeps the old nodes).
  Plug(RecordedModule(1, "3", "1234", "0001",
                      {{0, "ttyUSB3", "Module Diagnostics"}, {1, "ttyUSB4", "Module NMEA"}, {2, "ttyUSB5", "Module AT Port"}}));
  ASSERT_TRUE(wait_for([&] { return events.size() >= 6; }));
  watcher.Stop();
  EXPECT_EQ(events, (std::vector<std::string>{"-" + com(diag), "-" + com(diag + 1), "-" + com(diag + 2),
                                              "+" + com(diag), "+" + com(diag + 1), "+" + com(diag + 2)}));
}

}  // namespace
