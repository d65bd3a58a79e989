// Where a module is plugged in: the USB port path as sysfs names the USB
// device, "<busnum>-<devpath>" (e.g. "1-2.3": bus 1, port 3 of the hub on port
// 2). It stays the same while the module stays in the same socket, whatever it
// enumerates as after a mode switch or a reset.
#pragma once

#include <cstddef>
#include <string_view>

namespace vek {

// Longest USB port path accepted: a bus number and up to seven tiers of ports.
inline constexpr size_t kMaxUsbPortPath = 31;

// True for a well-formed path: a bus number, '-', then port numbers separated
// by '.', each number one to three digits, at most kMaxUsbPortPath characters.
bool IsUsbPortPath(std::string_view text);

}  // namespace vek
