// Roles of USB serial interfaces that do not describe themselves: a table of
// vendor:product:interface-number triples, built in and extended by the user.
//
// Extension files, read in this order (the first entry for a triple wins, and
// both come before the built-in entries):
//   $XDG_CONFIG_HOME/vek/usb-roles.conf   (default ~/.config/vek/usb-roles.conf)
//   /etc/vek/usb-roles.conf
// One entry a line: `VID:PID:IFNUM ROLE TEXT`, VID and PID as 1 to 4 hex digits,
// IFNUM the interface number in decimal (0 to 255), then the role text, e.g.
//   1e0e:9001:2 Modem AT Port
// Blank lines and lines starting with '#' are ignored; malformed lines are skipped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vek {

struct UsbRole {
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  int interface_number = 0;
  std::string role;
};

// Parses the text of a roles file. Role texts are cleaned (CleanRoleText).
std::vector<UsbRole> ParseUsbRoles(std::string_view text);

// A role text that is safe inside a friendly name: printable ASCII only,
// parentheses turned into brackets and "COM" into "Com" (so the COM number that
// follows stays the only one), blanks trimmed, at most 200 characters.
std::string CleanRoleText(std::string_view text);

class UsbRoleTable {
 public:
  // The built-in entries only.
  static UsbRoleTable BuiltIn();
  // The user's files, then the built-in entries.
  static UsbRoleTable Load();

  void Add(const std::vector<UsbRole>& roles);
  std::optional<std::string> Find(uint16_t vendor_id, uint16_t product_id, int interface_number) const;

 private:
  std::vector<UsbRole> roles_;
};

// The extension files in the order they are read.
std::vector<std::string> UsbRoleFiles();

}  // namespace vek
