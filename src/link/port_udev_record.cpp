#include "link/port_udev_record.h"

#include <libudev.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>

namespace vek {
namespace {

struct UdevDeleter {
  void operator()(udev* u) const { udev_unref(u); }
  void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
  void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevDeleter>;

// ModemManager reads the mark as a boolean property.
bool MarkedIgnore(udev_device* device) {
  if (device == nullptr) return false;
  const char* value = udev_device_get_property_value(device, "ID_MM_DEVICE_IGNORE");
  return value != nullptr && (std::strcmp(value, "1") == 0 || strcasecmp(value, "true") == 0);
}

// A link such as /dev/serial/by-id/... names the node it points to.
std::string ResolvedNode(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;
  std::string node(resolved);
  free(resolved);
  return node;
}

}  // namespace

PortUdevRecord ReadPortUdevRecord(const std::string& device_path) {
  PortUdevRecord record;
  const std::string node = ResolvedNode(device_path);
  UdevPtr<udev> context(udev_new());
  if (!context) return record;
  UdevPtr<udev_enumerate> enumerate(udev_enumerate_new(context.get()));
  if (!enumerate) return record;
  udev_enumerate_add_match_subsystem(enumerate.get(), "tty");
  if (udev_enumerate_scan_devices(enumerate.get()) < 0) return record;
  udev_list_entry* entry;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
    const char* syspath = udev_list_entry_get_name(entry);
    if (syspath == nullptr) continue;
    UdevPtr<udev_device> tty(udev_device_new_from_syspath(context.get(), syspath));
    if (!tty) continue;
    const char* devnode = udev_device_get_devnode(tty.get());
    if (devnode == nullptr || node != devnode) continue;
    record.found = true;
    // The parent belongs to the tty device and is released with it.
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty.get(), "usb", "usb_device");
    record.modem_manager_ignore = MarkedIgnore(tty.get()) || MarkedIgnore(usb);
    record.tagged_uaccess = udev_device_has_tag(tty.get(), "uaccess") > 0;
    break;
  }
  return record;
}

}  // namespace vek
