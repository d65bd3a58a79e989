#include "link/port_udev_record.h"

#include <libudev.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>

#include "link/udev_tty_devices.h"

namespace vek {
namespace {

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
  ForEachUdevTty([&](udev_device* tty, const char* devnode) {
    if (node != devnode) return true;
    record.found = true;
    // The parent belongs to the tty device and is released with it.
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
    record.modem_manager_ignore = MarkedIgnore(tty) || MarkedIgnore(usb);
    record.tagged_uaccess = udev_device_has_tag(tty, "uaccess") > 0;
    return false;
  });
  return record;
}

}  // namespace vek
