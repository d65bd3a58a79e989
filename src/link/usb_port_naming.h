// Friendly names and COM numbers for USB serial ports.
//
// Name: `<role text> (COM<n>)`. The role text is the USB interface's own
// description when it has one (modules name theirs "... Diagnostics",
// "... AT Port", "... NMEA"), else the role the role table gives the
// vendor:product:interface triple, else the tty name (e.g. "ttyUSB2").
//
// Number: derived from where the module is plugged in, never from the order of
// enumeration, so it stays the same while the module stays on the same USB port,
// also when it re-enumerates after a mode switch or reset (new product id, new
// tty names):
//   slot = FNV-1a-32("<busnum>-<devpath>") mod 500      e.g. "1-3.2"
//   n    = 1000 + 16 * slot + (interface number mod 16)  (1000 to 8999, never 0)
// Ports are numbered in the order of (USB port path, interface number, tty
// name); a port whose number is already taken by another present port gets the
// next free number upwards (wrapping from 8999 to 1000), so numbers are unique
// among the present ports and stable unless two modules' paths collide.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "link/port_source.h"
#include "link/usb_role_table.h"

namespace vek {

inline constexpr uint32_t kFirstUsbComNumber = 1000;
inline constexpr uint32_t kUsbComSlots = 500;
inline constexpr uint32_t kLastUsbComNumber = kFirstUsbComNumber + 16 * kUsbComSlots - 1;

// What the system tells about one tty device with a USB parent.
struct UsbTty {
  std::string device_path;     // e.g. "/dev/ttyUSB0"
  std::string tty_name;        // e.g. "ttyUSB0"
  std::string port_path;       // "<busnum>-<devpath>" of the USB device, e.g. "1-3.2"
  int interface_number = 0;    // bInterfaceNumber
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  std::string interface_text;  // the interface's own description; may be empty
};

// The number a port prefers before collisions are resolved.
uint32_t PreferredComNumber(std::string_view port_path, int interface_number);

// Names and numbers every port; the result is in numbering order.
std::vector<PortEntry> NameUsbPorts(std::vector<UsbTty> ttys, const UsbRoleTable& roles);

}  // namespace vek
