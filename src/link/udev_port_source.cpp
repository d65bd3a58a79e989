#include "link/udev_port_source.h"

#include <libudev.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "link/udev_tty_devices.h"

namespace vek {
namespace {

// The kept listing is redone at least this often, in case an event was lost.
constexpr auto kMaxListingAge = std::chrono::seconds(5);

// Sysfs values are short; anything longer is not one we want in a name.
constexpr size_t kMaxAttributeText = 256;

// Each source's number, for the thread's monitors below.
std::atomic<uint64_t> next_source_id{1};

// The monitor this thread lists with: made, used and closed on this thread
// only. A thread watches for the last source it listed; the system has one
// source at a time, and one listed after another merely gets a new monitor.
struct ThreadWatch {
  uint64_t source = 0;
  std::unique_ptr<UdevMonitor> monitor;
};
thread_local ThreadWatch this_thread_watch;

std::string Attribute(udev_device* device, const char* name) {
  const char* value = udev_device_get_sysattr_value(device, name);
  if (value == nullptr) return {};
  std::string text(value);
  if (text.size() > kMaxAttributeText) text.resize(kMaxAttributeText);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// A hexadecimal sysfs value such as idVendor "1234" or bInterfaceNumber "02".
long HexAttribute(udev_device* device, const char* name) {
  const std::string text = Attribute(device, name);
  if (text.empty() || text.size() > 4) return -1;
  long value = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else return -1;
    value = value * 16 + digit;
  }
  return value;
}

}  // namespace

std::vector<UsbTty> ListUsbTtys() {
  std::vector<UsbTty> ttys;
  ForEachUdevTty([&](udev_device* tty, const char* node) {
    const char* name = udev_device_get_sysname(tty);
    // Parents belong to the tty device and are released with it.
    udev_device* interface = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_interface");
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
    if (name == nullptr || interface == nullptr || usb == nullptr) return true;
    const long vendor = HexAttribute(usb, "idVendor");
    const long product = HexAttribute(usb, "idProduct");
    const long number = HexAttribute(interface, "bInterfaceNumber");
    UsbTty port;
    port.device_path = node;
    port.tty_name = name;
    port.port_path = Attribute(usb, "busnum") + "-" + Attribute(usb, "devpath");
    port.interface_number = number < 0 ? 0 : static_cast<int>(number);
    port.vendor_id = vendor < 0 ? 0 : static_cast<uint16_t>(vendor);
    port.product_id = product < 0 ? 0 : static_cast<uint16_t>(product);
    port.interface_text = Attribute(interface, "interface");
    ttys.push_back(std::move(port));
    return true;
  });
  return ttys;
}

UdevPortSource::UdevPortSource(EventSource events) : events_(events), id_(next_source_id++) {}

UdevMonitor& UdevPortSource::ThreadMonitor(bool* made) {
  ThreadWatch& watch = this_thread_watch;
  *made = watch.source != id_ || !watch.monitor;
  if (*made) {
    watch.monitor.reset();  // an earlier source's, made on this thread too
    watch.monitor = std::make_unique<UdevMonitor>(events_);
    watch.source = id_;
  }
  return *watch.monitor;
}

std::vector<UsbTty> UdevPortSource::CurrentTtys() {
  // A monitor made just now has missed what came before it: list again then.
  bool made = false;
  UdevMonitor& monitor = ThreadMonitor(&made);
  std::lock_guard lock(mutex_);
  // Events are taken before listing: one that arrives during the listing stays
  // queued and causes the next call to list again.
  std::set<std::string> removed;
  const bool changed = monitor.TakeEvents(&removed);
  const auto now = Clock::now();
  if (made || !monitor.Open() || changed || !listed_ || now - listed_at_ >= kMaxListingAge) {
    ttys_ = ListUsbTtys();
    listed_ = true;
    listed_at_ = now;
  }
  // A removed tty may linger in sysfs for a moment after its event: it is gone.
  std::erase_if(ttys_, [&](const UsbTty& tty) { return removed.count(tty.device_path) != 0; });
  return ttys_;
}

std::vector<PortEntry> UdevPortSource::ListPorts() { return NameUsbPorts(CurrentTtys(), UsbRoleTable::Load()); }

void InstallSystemPortSource() { SetSystemPortSource(std::make_shared<UdevPortSource>()); }

}  // namespace vek
