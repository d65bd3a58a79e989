// A umockdev testbed that plugs and pulls recorded modules the way the kernel
// and udev do: a module's devices appear under a hub that stays, each tty is
// announced when it comes and when it goes, and a tty name freed by one module
// can be taken by the next (a module that re-enumerates usually gets its old
// ttyUSB names back). Tests using it run under umockdev-wrapper.
//
// The testbed backs a tty node with a pty only the first time a name is used;
// a name taken again becomes a plain node: listed like any other, but it cannot
// be opened as a port. Tests that open ports plug each tty name once.
#pragma once

#include <gtest/gtest.h>
#include <umockdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>
#include "test_paths.h"

namespace vektest {

// The testbed only stands in for the system when umockdev's preload library is loaded.
inline ::testing::AssertionResult UnderUmockdevWrapper() {
  const char* preload = getenv("LD_PRELOAD");
  if (preload != nullptr && std::string(preload).find("umockdev-preload") != std::string::npos)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "run this under umockdev-wrapper";
}

// One paragraph of a recording: a device, its sysfs path and its device node.
struct RecordedDevice {
  std::string text;
  std::string syspath;  // "/sys/devices/..."
  std::string node;     // the N: name without "/dev/" and contents; empty: none
  bool tty = false;
};

inline std::vector<RecordedDevice> RecordedDevices(const std::string& recording) {
  std::vector<RecordedDevice> devices;
  std::istringstream in(recording);
  std::string line;
  RecordedDevice device;
  const auto finish = [&] {
    if (!device.syspath.empty()) devices.push_back(device);
    device = RecordedDevice{};
  };
  while (std::getline(in, line)) {
    if (line.empty()) {
      finish();
      continue;
    }
    if (line.rfind("P: ", 0) == 0) device.syspath = "/sys" + line.substr(3);
    if (line.rfind("N: ", 0) == 0) device.node = line.substr(3, line.find('=') == std::string::npos ? std::string::npos : line.find('=') - 3);
    if (line == "E: SUBSYSTEM=tty") device.tty = true;
    device.text += line + "\n";
  }
  finish();
  return devices;
}

inline std::string ReadRecording(const std::string& name) {
  std::ifstream in(std::string(vektest::TestSourceDir()) + "/udev/recordings/" + name);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class MockDevices {
 public:
  // The testbed comes first: event sockets opened later listen to it.
  MockDevices() : testbed_(umockdev_testbed_new()) {
    gchar* root = umockdev_testbed_get_root_dir(testbed_);  // ours to free
    root_ = root;
    g_free(root);
  }
  ~MockDevices() {
    g_object_unref(testbed_);
    for (UMockdevIoctlBase* handler : handlers_) g_object_unref(handler);
  }
  MockDevices(const MockDevices&) = delete;
  MockDevices& operator=(const MockDevices&) = delete;

  // Plugs the devices of a recording that are not present yet (a hub and the
  // controller stay); the testbed announces each. Returns false on a bad recording.
  bool Plug(const std::string& recording) {
    std::string text;
    std::vector<RecordedDevice> added;
    // A recording lists a device before its parents; the kernel adds (and
    // announces) parents first, so a tty is complete when its event comes.
    std::vector<RecordedDevice> recorded = RecordedDevices(recording);
    const auto depth = [](const RecordedDevice& d) { return std::count(d.syspath.begin(), d.syspath.end(), '/'); };
    std::stable_sort(recorded.begin(), recorded.end(),
                     [&](const RecordedDevice& a, const RecordedDevice& b) { return depth(a) < depth(b); });
    for (const RecordedDevice& device : recorded) {
      if (std::filesystem::exists(root_ + device.syspath)) continue;
      std::string paragraph = device.text;
      if (device.tty && !device.node.empty() && !ptys_.insert(device.node).second) {
        const std::string line = "N: " + device.node + "\n";
        paragraph.replace(paragraph.find(line), line.size(), "N: " + device.node + "=00\n");
      }
      text += paragraph + "\n";
      added.push_back(device);
    }
    GError* error = nullptr;
    const bool ok = umockdev_testbed_add_from_string(testbed_, text.c_str(), &error);
    if (!ok) ADD_FAILURE() << (error ? error->message : "bad recording");
    if (error) g_error_free(error);
    plugged_.insert(plugged_.end(), added.begin(), added.end());
    return ok;
  }
  bool PlugFile(const std::string& name) { return Plug(ReadRecording(name)); }

  // Pulls everything plugged so far: each tty's removal is announced, then the
  // devices go, topmost first (a removed device takes its children along).
  void Unplug() {
    for (const RecordedDevice& device : plugged_)
      if (device.tty) umockdev_testbed_uevent(testbed_, device.syspath.c_str(), "remove");
    std::vector<std::string> removed;
    for (const RecordedDevice& device : plugged_) {  // parents come first
      const bool gone = std::any_of(removed.begin(), removed.end(),
                                    [&](const std::string& parent) { return device.syspath.rfind(parent + "/", 0) == 0; });
      if (!gone && std::filesystem::exists(root_ + device.syspath)) {
        umockdev_testbed_remove_device(testbed_, device.syspath.c_str());
        removed.push_back(device.syspath);
      }
    }
    // The testbed leaves the links and nodes of removed devices behind; a
    // device that takes the same name again needs them gone.
    for (const auto& link : std::filesystem::recursive_directory_iterator(root_ + "/sys"))
      if (link.is_symlink() && !std::filesystem::exists(link.path())) std::filesystem::remove(link.path());
    for (const RecordedDevice& device : plugged_) {
      if (device.node.empty()) continue;
      std::filesystem::remove(root_ + "/dev/" + device.node);
      std::filesystem::remove(root_ + "/dev/.node/" + device.node);
      std::error_code ignored;
      for (const auto& entry : std::filesystem::directory_iterator(root_ + "/dev/.ptymap", ignored))
        if (std::filesystem::read_symlink(entry.path(), ignored).string() == "/dev/" + device.node)
          std::filesystem::remove(entry.path());
    }
    plugged_.clear();
  }

  // The testbed answers the exclusive-use requests (TIOCEXCL, TIOCNXCL) on its
  // ttys with a failure: let them succeed on `tty` (nobody else opens it) and
  // carry out every other request on the pty itself.
  bool AcceptExclusiveOpens(const std::string& tty) {
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(HandleIoctl), nullptr);
    handlers_.push_back(handler);
    GError* error = nullptr;
    const bool ok = umockdev_testbed_attach_ioctl(testbed_, ("/dev/" + tty).c_str(), handler, &error);
    if (error) g_error_free(error);
    return ok;
  }

  // The module's side of an emulated tty: bytes the program writes to
  // /dev/<name> are read here and the other way round. Owned by the testbed.
  int ModuleSide(const std::string& tty) { return umockdev_testbed_get_dev_fd(testbed_, ("/dev/" + tty).c_str()); }

  UMockdevTestbed* testbed() { return testbed_; }

 private:
  // Runs on the testbed's own thread.
  static gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
    const gulong request = umockdev_ioctl_client_get_request(client);
    if (request == TIOCEXCL || request == TIOCNXCL) {
      umockdev_ioctl_client_complete(client, 0, 0);
      return TRUE;
    }
    int error = 0;
    const int result = umockdev_ioctl_client_execute(client, &error, nullptr);
    umockdev_ioctl_client_complete(client, result, error);
    return TRUE;
  }

  UMockdevTestbed* testbed_;
  std::vector<UMockdevIoctlBase*> handlers_;
  std::string root_;
  std::vector<RecordedDevice> plugged_;
  std::set<std::string> ptys_;  // tty names the testbed has made a pty for
};

}  // namespace vektest
