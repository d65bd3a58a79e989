#include "link/usb_port_naming.h"

#include <algorithm>
#include <set>
#include <tuple>

#include "link/usb_port_path.h"

namespace vek {
namespace {

uint32_t Fnv1a(std::string_view text) {
  uint32_t hash = 2166136261u;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 16777619u;
  }
  return hash;
}

std::string RoleOf(const UsbTty& tty, const UsbRoleTable& roles) {
  std::string role = CleanRoleText(tty.interface_text);
  if (!role.empty()) return role;
  if (auto known = roles.Find(tty.vendor_id, tty.product_id, tty.interface_number)) return *known;
  role = CleanRoleText(tty.tty_name);
  return role.empty() ? "USB serial port" : role;
}

}  // namespace

uint32_t PreferredComNumber(std::string_view port_path, int interface_number) {
  const uint32_t slot = Fnv1a(port_path) % kUsbComSlots;
  return kFirstUsbComNumber + 16 * slot + static_cast<uint32_t>(interface_number & 15);
}

std::vector<PortEntry> NameUsbPorts(std::vector<UsbTty> ttys, const UsbRoleTable& roles) {
  std::sort(ttys.begin(), ttys.end(), [](const UsbTty& a, const UsbTty& b) {
    return std::tie(a.port_path, a.interface_number, a.tty_name) < std::tie(b.port_path, b.interface_number, b.tty_name);
  });
  std::set<uint32_t> taken;
  std::vector<PortEntry> entries;
  constexpr uint32_t kRange = kLastUsbComNumber - kFirstUsbComNumber + 1;
  for (const UsbTty& tty : ttys) {
    if (taken.size() >= kRange) break;
    uint32_t number = PreferredComNumber(tty.port_path, tty.interface_number);
    while (taken.count(number) != 0) number = number == kLastUsbComNumber ? kFirstUsbComNumber : number + 1;
    taken.insert(number);
    entries.push_back(PortEntry{RoleOf(tty, roles) + " (COM" + std::to_string(number) + ")", tty.device_path,
                                IsUsbPortPath(tty.port_path) ? tty.port_path : std::string()});
  }
  return entries;
}

}  // namespace vek
