#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

#include "device/session.h"
#include "link/com_port_name.h"
#include "link/port_map_source.h"
#include "test_support.h"

namespace {

TEST(ComNumberOfName, TakesTheNumberBetweenComAndTheParenthesis) {
  EXPECT_EQ(vek::ComNumberOfName("Modem Diagnostics Port (COM12)"), 12u);
  EXPECT_EQ(vek::ComNumberOfName("USB AT Port (COM16)"), 16u);
  EXPECT_EQ(vek::ComNumberOfName("COM3) (COM4)"), 3u);
}

TEST(ComNumberOfName, NamesWithoutAUsableNumberCarryNone) {
  EXPECT_FALSE(vek::ComNumberOfName("Port ) (COM5"));
  EXPECT_FALSE(vek::ComNumberOfName("Port (COM5"));
  EXPECT_FALSE(vek::ComNumberOfName("Port (COM)"));
  EXPECT_FALSE(vek::ComNumberOfName("Port (COM0)"));
  EXPECT_FALSE(vek::ComNumberOfName("Port (COMx1)"));
  EXPECT_FALSE(vek::ComNumberOfName("Port (COM99999999999999999999)"));
  EXPECT_FALSE(vek::ComNumberOfName("Port (COM-1)"));
  EXPECT_FALSE(vek::ComNumberOfName(""));
}

// A port event names the port itself ("COM12"); the restart check reads every digit.
TEST(PortEventNames, CarryTheirNumberByTheirOwnRules) {
  EXPECT_EQ(vek::ComNumberOfPortName("COM12"), 12u);
  EXPECT_EQ(vek::ComNumberOfPortName("xCOM7tail9"), 7u);
  EXPECT_EQ(vek::ComNumberOfPortName("COM12345678901"), 123456789u);  // the first nine digits
  EXPECT_FALSE(vek::ComNumberOfPortName("COM"));
  EXPECT_FALSE(vek::ComNumberOfPortName("COMx7"));
  EXPECT_FALSE(vek::ComNumberOfPortName("ttyUSB3"));
  EXPECT_EQ(vek::DigitsOfName("COM7"), 7u);
  EXPECT_EQ(vek::DigitsOfName("a1b2c3"), 123u);
  EXPECT_EQ(vek::DigitsOfName("no digits"), 0u);
  EXPECT_EQ(vek::DigitsOfName("COM1234567890"), 123456789u);
}

TEST(PortMapParsing, KeepsWellFormedLinesInOrder) {
  const auto entries = vek::ParsePortMap(
      "# comment\n\n/dev/pts/7\tModem Diagnostics Port (COM7)\r\n/dev/pts/8\tModem AT Port (COM8)\n");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].device_path, "/dev/pts/7");
  EXPECT_EQ(entries[0].friendly_name, "Modem Diagnostics Port (COM7)");
  EXPECT_EQ(entries[1].friendly_name, "Modem AT Port (COM8)");
}

// The optional third field says where the module is plugged in; a line whose
// third field is anything but a USB port path is skipped whole.
TEST(PortMapParsing, TakesAnOptionalUsbPathAndRefusesHostileOnes) {
  const std::string hostile[] = {"",          "1",        "-2",       "1-",          "1-2.",        "1-.2",
                                 "1--2",      "1-2..3",   "x-2",      "1-2.3 ",      "1-2\t",       "1-2.3\tmore",
                                 "1-2/../3",  "1-2\x01",  "1234-2",   "1-2345",      "1-2.3.4.5.6.7.8.9.1.2.3.4.5.6.7.8"};
  std::string text = "/dev/pts/1\tA Diagnostics (COM1)\n/dev/pts/2\tB Diagnostics (COM2)\t1-2.3\r\n";
  for (const std::string& field : hostile) text += "/dev/pts/9\tEvil Diagnostics (COM9)\t" + field + "\n";
  text += "/dev/pts/3\tC AT Port (COM3)\t12-1.10.4";
  const auto entries = vek::ParsePortMap(text);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].friendly_name, "A Diagnostics (COM1)");
  EXPECT_EQ(entries[0].usb_path, "");
  EXPECT_EQ(entries[1].device_path, "/dev/pts/2");
  EXPECT_EQ(entries[1].friendly_name, "B Diagnostics (COM2)");
  EXPECT_EQ(entries[1].usb_path, "1-2.3");
  EXPECT_EQ(entries[2].usb_path, "12-1.10.4");
}

TEST(PortMapSource, ResolvesTheUsbPathOfAPortNumber) {
  vektest::TempDir dir;
  const std::string map = dir.File("ports");
  std::ofstream(map) << "/dev/pts/70\tA Diagnostics (COM7)\t3-1.4\n/dev/pts/71\tA AT Port (COM8)\n";
  vek::SetPortMapPath(map);
  EXPECT_EQ(vek::ResolveUsbPath(7), "3-1.4");
  EXPECT_EQ(vek::ResolvePortNumber(7), "/dev/pts/70");
  EXPECT_EQ(vek::ResolveUsbPath(8), "");
  EXPECT_EQ(vek::ResolveUsbPath(9), std::nullopt);
  vek::SetPortMapPath("");
}

TEST(PortMapParsing, SkipsHostileLines) {
  const std::string long_name(300, 'N');
  const std::string text = std::string("no tab here\n") + "\tname without path (COM1)\n" +
                           "relative/path\tRelative Diagnostics (COM2)\n" + "/dev/pts/1\t\n" + "/dev/pts/2\t" +
                           long_name + "\n" + "/dev/pts/3\tbad\x01name (COM3)\n" + std::string("\0\0\xff\xfe", 4) +
                           "\n" + "/dev/pts/4\tGood Diagnostics (COM4)";
  const auto entries = vek::ParsePortMap(text);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].device_path, "/dev/pts/4");
}

TEST(PortMapSource, ReadsTheFileAfreshEveryTime) {
  vektest::TempDir dir;
  const std::string map = dir.File("ports");
  vek::PortMapSource source(map);
  EXPECT_TRUE(source.ListPorts().empty());  // a missing file: no port present
  sim::WritePortMapFile(map, {{"A Diagnostics (COM7)", "/dev/pts/70"}});
  EXPECT_EQ(source.ListPorts().size(), 1u);
  sim::WritePortMapFile(map, {});
  EXPECT_TRUE(source.ListPorts().empty());
}

TEST(PortMapSource, ResolvesNumbersThroughTheEnvironmentsMap) {
  vektest::TempDir dir;
  const std::string map = dir.File("ports");
  sim::WritePortMapFile(map, {{"A Diagnostics (COM7)", "/dev/pts/70"}, {"A AT Port (COM8)", "/dev/pts/71"}});
  setenv("VEK_PORT_MAP", map.c_str(), 1);
  EXPECT_EQ(vek::ResolvePortNumber(8), "/dev/pts/71");
  EXPECT_FALSE(vek::ResolvePortNumber(9));
  unsetenv("VEK_PORT_MAP");
  EXPECT_FALSE(vek::ResolvePortNumber(8));
}

// One module among several: only its ports are listed, counted and opened,
// whether it is named by its USB port path or by one of its ports.
TEST(PortMapSource, ChoosingAModuleListsOnlyItsPortsWhicheverWayItIsNamed) {
  vektest::TempDir dir;
  const std::string map = dir.File("ports");
  sim::WritePortMapFile(map, {{"A Diagnostics (COM7)", "/dev/pts/70", "1-2"},
                              {"A AT Port (COM8)", "/dev/pts/71", "1-2"},
                              {"B Diagnostics (COM9)", "/dev/pts/72", "1-3"},
                              {"C Diagnostics (COM10)", "/dev/pts/73"}});
  vek::SetPortMapPath(map);
  struct Reset {
    ~Reset() {
      vek::ChooseModuleUsbPath("");
      vek::SetPortMapPath("");
    }
  } reset;
  const auto listed = [] {
    std::vector<std::string> paths;
    for (const auto& port : vek::ActivePortSource()->ListPorts()) paths.push_back(port.device_path);
    return paths;
  };
  using Result = vek::ModuleChoice::Result;

  vek::ModuleChoice choice = vek::ChooseModule("1-2");
  EXPECT_EQ(choice.result, Result::kChosen);
  EXPECT_EQ(listed(), (std::vector<std::string>{"/dev/pts/70", "/dev/pts/71"}));
  EXPECT_FALSE(vek::ResolvePortNumber(9)) << "another module's port must not open";

  // A port of another module than the one chosen before names its own module.
  choice = vek::ChooseModule("COM9");
  EXPECT_EQ(choice.result, Result::kChosen);
  EXPECT_EQ(choice.usb_path, "1-3");
  EXPECT_EQ(listed(), (std::vector<std::string>{"/dev/pts/72"}));
  EXPECT_EQ(vek::ResolvePortNumber(9), "/dev/pts/72");
  EXPECT_FALSE(vek::ResolvePortNumber(7));

  // Refused choices leave the one in force.
  EXPECT_EQ(vek::ChooseModule("COM10").result, Result::kNoUsbPath);
  EXPECT_EQ(vek::ChooseModule("COM11").result, Result::kNoSuchPort);
  EXPECT_EQ(vek::ChooseModule("1-2/../3").result, Result::kMalformed);
  EXPECT_EQ(vek::ChosenModuleUsbPath(), "1-3");

  // A module nobody has plugged in yet lists nothing; no choice lists everything.
  EXPECT_EQ(vek::ChooseModule("2-1.4").result, Result::kChosen);
  EXPECT_TRUE(listed().empty());
  vek::ChooseModuleUsbPath("");
  EXPECT_EQ(listed().size(), 4u);
}

}  // namespace
