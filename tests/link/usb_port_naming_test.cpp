#include "link/usb_port_naming.h"

#include <gtest/gtest.h>

#include <set>

#include "link/com_port_name.h"

namespace {

vek::UsbTty Tty(const std::string& name, const std::string& port_path, int interface_number, uint16_t pid,
                const std::string& text = "") {
  return vek::UsbTty{"/dev/" + name, name, port_path, interface_number, 0x1234, pid, text};
}

std::vector<std::string> Names(const std::vector<vek::PortEntry>& entries) {
  std::vector<std::string> names;
  for (const auto& entry : entries) names.push_back(entry.friendly_name);
  return names;
}

TEST(UsbPortRoles, InterfaceTextThenRoleTableThenTtyName) {
  vek::UsbRoleTable roles;
  roles.Add(vek::ParseUsbRoles("1234:0001:1 Table NMEA\n"));
  const auto entries = vek::NameUsbPorts(
      {Tty("ttyUSB0", "1-3", 0, 1, "Module Diagnostics"), Tty("ttyUSB1", "1-3", 1, 1), Tty("ttyUSB2", "1-3", 2, 1)},
      roles);
  const uint32_t base = vek::PreferredComNumber("1-3", 0);
  EXPECT_EQ(Names(entries), (std::vector<std::string>{"Module Diagnostics (COM" + std::to_string(base) + ")",
                                                      "Table NMEA (COM" + std::to_string(base + 1) + ")",
                                                      "ttyUSB2 (COM" + std::to_string(base + 2) + ")"}));
  EXPECT_EQ(entries[1].device_path, "/dev/ttyUSB1");
}

TEST(UsbPortRoles, InterfaceTextCannotForgeANumber) {
  const auto entries =
      vek::NameUsbPorts({Tty("ttyUSB0", "1-3", 0, 1, "Evil (COM1) AT Port\x01\xff")}, vek::UsbRoleTable{});
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].friendly_name.find("(COM1)"), std::string::npos);
  EXPECT_EQ(vek::ComNumberOfName(entries[0].friendly_name), vek::PreferredComNumber("1-3", 0));
  EXPECT_NE(entries[0].friendly_name.find("AT Port"), std::string::npos);
}

TEST(UsbPortNumbers, FollowTheUsbPortNotTheEnumeration) {
  const auto before = vek::NameUsbPorts({Tty("ttyUSB0", "2-1.4", 0, 1, "Diagnostics"),
                                         Tty("ttyUSB1", "2-1.4", 2, 1, "AT Port")},
                                        vek::UsbRoleTable{});
  // The same module after a mode switch: new product id, new tty names, listed in another order.
  const auto after = vek::NameUsbPorts({Tty("ttyUSB7", "2-1.4", 2, 9, "AT Port"),
                                        Tty("ttyUSB5", "2-1.4", 0, 9, "Diagnostics")},
                                       vek::UsbRoleTable{});
  EXPECT_EQ(Names(before), Names(after));
  // Another USB port gives other numbers.
  EXPECT_NE(vek::PreferredComNumber("2-1.4", 0), vek::PreferredComNumber("2-1.3", 0));
}

TEST(UsbPortNumbers, AreUniqueAndNeverZeroEvenWhenPreferencesCollide) {
  std::vector<vek::UsbTty> ttys;
  // Interfaces 0 and 16 prefer the same number; so do many of 600 USB ports.
  for (int i = 0; i < 600; ++i) ttys.push_back(Tty("ttyUSB" + std::to_string(i), "1-" + std::to_string(i), 0, 1));
  ttys.push_back(Tty("ttyACM0", "1-0", 16, 1));
  std::set<uint32_t> numbers;
  for (const auto& entry : vek::NameUsbPorts(ttys, vek::UsbRoleTable{})) {
    const auto number = vek::ComNumberOfName(entry.friendly_name);
    ASSERT_TRUE(number) << entry.friendly_name;
    EXPECT_GE(*number, vek::kFirstUsbComNumber);
    EXPECT_LE(*number, vek::kLastUsbComNumber);
    EXPECT_TRUE(numbers.insert(*number).second) << entry.friendly_name;
  }
  EXPECT_EQ(numbers.size(), ttys.size());
}

TEST(UsbRoleFile, KeepsWellFormedEntriesAndSkipsTheRest) {
  const auto roles = vek::ParseUsbRoles(
      "# comment\n"
      "\n"
      "1e0e:9001:2 Modem AT Port\r\n"
      "  1234:4001:0\tDownload (Diagnostics)  \n"
      "12345:0001:0 too long vid\n"
      "1234:0001:256 interface too big\n"
      "1234:0001 missing interface\n"
      "1234:0001:1\n"
      "zz:0001:1 not hex\n"
      "1234:0001:-1 negative\n");
  ASSERT_EQ(roles.size(), 2u);
  EXPECT_EQ(roles[0].vendor_id, 0x1e0e);
  EXPECT_EQ(roles[0].product_id, 0x9001);
  EXPECT_EQ(roles[0].interface_number, 2);
  EXPECT_EQ(roles[0].role, "Modem AT Port");
  EXPECT_EQ(roles[1].role, "Download [Diagnostics]");
  vek::UsbRoleTable table;
  table.Add(roles);
  EXPECT_EQ(table.Find(0x1234, 0x4001, 0), "Download [Diagnostics]");
  EXPECT_FALSE(table.Find(0x1234, 0x4001, 1));
}

}  // namespace
