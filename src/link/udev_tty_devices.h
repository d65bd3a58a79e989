// A walk over the tty devices udev knows, shared by the port listing and the
// look-up of one port's udev record.
#pragma once

#include <libudev.h>

#include <functional>

namespace vek {

// Calls `visit` with each tty device that has a device node, leaving out the
// virtual ones (consoles, pseudo-terminal masters), until it returns false.
// The device and its parents are valid during the call only.
void ForEachUdevTty(const std::function<bool(udev_device* tty, const char* node)>& visit);

}  // namespace vek
