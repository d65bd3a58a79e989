#include "upgrade/port_discovery.h"

#include <gtest/gtest.h>

#include "records/job_records.h"
#include "test_support.h"

namespace {

// A port map with the given friendly names; the devices behind them do not matter here.
class PortsNamed {
 public:
  explicit PortsNamed(const std::vector<std::string>& names) {
    std::vector<vek::PortEntry> entries;
    for (size_t i = 0; i < names.size(); ++i) entries.push_back({names[i], "/dev/null" + std::to_string(i)});
    sim::WritePortMapFile(dir_.File("ports"), entries);
    vek::SetPortMapPath(dir_.File("ports"));
  }
  ~PortsNamed() { vek::SetPortMapPath(""); }

 private:
  vektest::TempDir dir_;
};

void SetPorts(uint32_t diag, uint32_t at, uint32_t nmea) {
  vek::TheDevice().diag_port = diag;
  vek::TheDevice().at_port = at;
  vek::TheDevice().nmea_port = nmea;
}

void ExpectPorts(uint32_t diag, uint32_t at, uint32_t nmea) {
  EXPECT_EQ(vek::TheDevice().diag_port.load(), diag);
  EXPECT_EQ(vek::TheDevice().at_port.load(), at);
  EXPECT_EQ(vek::TheDevice().nmea_port.load(), nmea);
}

TEST(PortDiscovery, FindsEachRoleByItsName) {
  PortsNamed ports({"USB Diagnostics Port (COM15)", "USB AT Port (COM16)", "USB NMEA Port (COM17)"});
  SetPorts(0, 0, 0);
  EXPECT_TRUE(vek::FindModulePorts());
  ExpectPorts(15, 16, 17);
  EXPECT_EQ(vek::CountDiagPorts(), 1);
}

TEST(PortDiscovery, OneNameMayHoldTwoRoles) {
  PortsNamed ports({"Modem Diagnostics and NMEA (COM9)"});
  SetPorts(0, 3, 0);
  EXPECT_TRUE(vek::FindModulePorts());
  ExpectPorts(9, 3, 9);
}

TEST(PortDiscovery, TwoDiagnosticPortsAreCountedAndTheLastOneIsKept) {
  PortsNamed ports({"A Diagnostics (COM5)", "B Diagnostics (COM6)", "B AT Port (COM7)"});
  SetPorts(0, 0, 0);
  EXPECT_TRUE(vek::FindModulePorts());
  ExpectPorts(6, 7, 0);
  EXPECT_EQ(vek::CountDiagPorts(), 2);
}

TEST(PortDiscovery, WithoutPortsNothingIsFoundAndNothingForgotten) {
  PortsNamed ports({});
  SetPorts(4, 5, 6);
  EXPECT_FALSE(vek::FindModulePorts());
  ExpectPorts(4, 5, 6);
  EXPECT_EQ(vek::CountDiagPorts(), 0);
}

TEST(PortDiscovery, NamesWithoutAUsableNumberSetNothing) {
  PortsNamed ports({"Diagnostics) (COM5", "AT Port (COM12", "NMEA (COM123456789012)", "diagnostics (COM3)"});
  SetPorts(1, 2, 3);
  EXPECT_FALSE(vek::FindModulePorts());
  ExpectPorts(1, 2, 3);
  // Still a diagnostic port present: a job must not pick between two modules.
  EXPECT_EQ(vek::CountDiagPorts(), 1);
}

}  // namespace
