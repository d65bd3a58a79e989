#include "link/udev_monitor.h"

#include <libudev.h>
#include <poll.h>

#include <cstring>

namespace vek {
namespace {

// Ports live in the tty subsystem; a module's USB interfaces bring theirs along.
constexpr const char* kWatchedSubsystem = "tty";

// Events read in one call at most: a flood cannot keep the caller reading forever.
constexpr int kMaxEventsPerTake = 1024;

bool UdevServiceActive(udev* context) {
  udev_queue* queue = udev_queue_new(context);
  if (queue == nullptr) return false;
  const bool active = udev_queue_get_udev_is_active(queue) != 0;
  udev_queue_unref(queue);
  return active;
}

bool Readable(int fd) {
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, 0) > 0 && (entry.revents & (POLLIN | POLLERR)) != 0;
}

}  // namespace

struct UdevMonitor::Handles {
  udev* context = nullptr;
  udev_monitor* monitor = nullptr;
  ~Handles() {
    if (monitor != nullptr) udev_monitor_unref(monitor);
    if (context != nullptr) udev_unref(context);
  }
};

UdevMonitor::UdevMonitor(EventSource source) : handles_(std::make_unique<Handles>()) {
  handles_->context = udev_new();
  if (handles_->context == nullptr) return;
  // Without a udev service its event group stays silent: listen to the kernel then.
  const bool udev_events = source == EventSource::kUdev || UdevServiceActive(handles_->context);
  handles_->monitor = udev_monitor_new_from_netlink(handles_->context, udev_events ? "udev" : "kernel");
  if (handles_->monitor == nullptr) return;
  if (udev_monitor_filter_add_match_subsystem_devtype(handles_->monitor, kWatchedSubsystem, nullptr) < 0 ||
      udev_monitor_enable_receiving(handles_->monitor) < 0)
    return;
  fd_ = udev_monitor_get_fd(handles_->monitor);
}

UdevMonitor::~UdevMonitor() = default;

bool UdevMonitor::TakeEvents(std::set<std::string>* removed) {
  if (!Open()) return false;
  bool any = false;
  for (int i = 0; i < kMaxEventsPerTake && Readable(fd_); ++i) {
    any = true;
    // The socket does not block; a failed read (an overflow) still counts as a change.
    udev_device* device = udev_monitor_receive_device(handles_->monitor);
    if (device == nullptr) continue;
    const char* action = udev_device_get_action(device);
    const char* node = udev_device_get_devnode(device);
    if (removed != nullptr && action != nullptr && node != nullptr) {
      if (std::strcmp(action, "remove") == 0) removed->insert(node);
      else removed->erase(node);
    }
    udev_device_unref(device);
  }
  return any;
}

}  // namespace vek
