#include "link/udev_tty_devices.h"

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

}  // namespace

void ForEachUdevTty(const std::function<bool(udev_device* tty, const char* node)>& visit) {
  UdevPtr<udev> context(udev_new());
  if (!context) return;
  UdevPtr<udev_enumerate> enumerate(udev_enumerate_new(context.get()));
  if (!enumerate) return;
  udev_enumerate_add_match_subsystem(enumerate.get(), "tty");
  if (udev_enumerate_scan_devices(enumerate.get()) < 0) return;
  udev_list_entry* entry;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
    const char* syspath = udev_list_entry_get_name(entry);
    // Virtual consoles and pseudo-terminal masters have no parent at all: skip them unread.
    if (syspath == nullptr || std::strstr(syspath, "/devices/virtual/") != nullptr) continue;
    UdevPtr<udev_device> tty(udev_device_new_from_syspath(context.get(), syspath));
    if (!tty) continue;
    const char* node = udev_device_get_devnode(tty.get());
    if (node == nullptr) continue;
    if (!visit(tty.get(), node)) return;
  }
}

}  // namespace vek
