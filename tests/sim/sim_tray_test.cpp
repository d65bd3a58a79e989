// A tray of simulated modules in one process, seen from the host's side of their
// pseudo-terminals and of the one port-map file they share.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>

#include "link/com_port_name.h"
#include "link/port_map_source.h"
#include "link/small_file.h"
#include "nv/nv_identity.h"
#include "sim/frame_decoder.h"
#include "sim/sim_tray.h"
#include "test_support.h"

namespace {

using sim::SimPortRole;
constexpr SimPortRole kRoles[] = {SimPortRole::kDiagnostics, SimPortRole::kAt, SimPortRole::kNmea};

// A port of a module opened as the host opens it: raw and not blocking.
class HostPort {
 public:
  explicit HostPort(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    termios tio{};
    if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(fd_, TCSANOW, &tio);
    }
  }
  ~HostPort() {
    if (fd_ >= 0) close(fd_);
  }

  bool Write(const std::vector<uint8_t>& bytes) {
    return fd_ >= 0 && write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  // Reads until `enough` says so about what came, for at most five seconds.
  template <typename Enough>
  std::string ReadUntil(Enough enough) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (fd_ >= 0 && !enough(got)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0 || !(p.revents & POLLIN)) break;
      char buffer[512];
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }

 private:
  int fd_;
};

// The IMEI in the module's answer to ATI on its AT port.
std::string AtImei(sim::SimModule& module) {
  HostPort at(module.DevicePath(SimPortRole::kAt));
  if (!at.Write({'A', 'T', 'I', '\r'})) return {};
  const std::string answer = at.ReadUntil([](const std::string& got) { return got.find("\r\nOK\r\n") != std::string::npos; });
  const size_t start = answer.find("IMEI: ");
  if (start == std::string::npos) return {};
  return answer.substr(start + 6, answer.find("\r\n", start) - start - 6);
}

// The packet of the first frame the module's diagnostic port answers `request` with.
std::vector<uint8_t> DiagAnswer(sim::SimModule& module, const std::vector<uint8_t>& request) {
  HostPort diag(module.DevicePath(SimPortRole::kDiagnostics));
  if (!diag.Write(sim::FrameReply(request, false))) return {};
  sim::FrameDecoder decoder;
  std::vector<uint8_t> packet;
  bool framed = false;
  diag.ReadUntil([&](const std::string& got) {
    decoder.Reset();
    decoder.Feed(reinterpret_cast<const uint8_t*>(got.data()), got.size(), [&](sim::DecodedFrame&& frame) {
      if (!framed) packet = frame.packet;
      framed = true;
    });
    return framed;
  });
  return packet;
}

std::vector<vek::PortEntry> ListedIn(const std::string& port_map) {
  return vek::ParsePortMap(vek::ReadSmallFile(port_map, 1 << 16, vek::TooLarge::kNothing));
}

// The lines a module has in the port map now.
std::vector<vek::PortEntry> LinesOf(sim::SimModule& module) {
  std::vector<vek::PortEntry> lines;
  for (SimPortRole role : kRoles)
    lines.push_back({module.FriendlyName(role), module.DevicePath(role), module.options().usb.path});
  return lines;
}

bool Holds(const std::vector<vek::PortEntry>& listed, const vek::PortEntry& line) {
  for (const auto& entry : listed)
    if (entry.device_path == line.device_path && entry.friendly_name == line.friendly_name && entry.usb_path == line.usb_path)
      return true;
  return false;
}

// The Luhn sum over all fifteen digits, the check digit included, ends in 0.
bool PassesLuhn(const std::string& imei) {
  int sum = 0;
  for (size_t i = 0; i < imei.size(); ++i) {
    const int d = imei[i] - '0';
    sum += i % 2 == 1 ? (d * 2 > 9 ? d * 2 - 9 : d * 2) : d;
  }
  return imei.size() == 15 && sum % 10 == 0;
}

class SimTray : public testing::Test {
 protected:
  // Three modules from default options, each with the rules `faults` target at it.
  bool StartTray(sim::SimModuleOptions first, const std::vector<std::string>& faults = {}) {
    first.port_map_path = dir_.File("ports");
    auto modules = sim::TrayModuleOptions(first, 3, nullptr);
    if (!modules) return false;
    tray_ = std::make_unique<sim::SimTray>(std::move(*modules));
    for (const auto& text : faults) {
      const auto fault = sim::ParseTargetedFault(text, tray_->size());
      if (!fault) return false;
      for (size_t i = 0; i < tray_->size(); ++i)
        if (!fault->module || *fault->module == i) tray_->module(i).faults().Add(fault->rule);
    }
    return tray_->Start();
  }
  std::vector<vek::PortEntry> Listed() const { return ListedIn(dir_.File("ports")); }

  vektest::TempDir dir_;
  std::unique_ptr<sim::SimTray> tray_;
};

TEST(SimTrayOptions, TellTheModulesApartOrSayWhyTheyCannot) {
  sim::SimModuleOptions first;
  first.usb.path = "1-2.3";
  first.usb.download_com = 25;
  auto modules = sim::TrayModuleOptions(first, 3, nullptr);
  ASSERT_TRUE(modules);
  EXPECT_EQ((*modules)[0].at.imei, first.at.imei);
  for (size_t i = 0; i < 3; ++i) {
    const auto& module = (*modules)[i];
    EXPECT_EQ(module.usb.path, "1-2." + std::to_string(3 + i));
    EXPECT_EQ(module.com_base, 20 + 10 * i);
    EXPECT_EQ(module.usb.download_com, 25 + 10 * i);
    EXPECT_TRUE(PassesLuhn(module.at.imei)) << module.at.imei;
    EXPECT_EQ(module.at.imei.substr(0, 8), first.at.imei.substr(0, 8));
    EXPECT_EQ(vek::ImeiText(module.nv.imei_item.data()), module.at.imei);
  }
  EXPECT_EQ(sim::TrayImei("356938035643809", 1), "356938035643817");
  EXPECT_EQ(sim::TrayImei("356938039999990", 2), "356938030000013");  // the serial wraps, the type code stays
  EXPECT_EQ(sim::TrayUsbPath("3-1", 9), "3-10");

  // One module keeps its options exactly, whatever they hold.
  sim::SimModuleOptions odd;
  odd.at.imei = "not an IMEI";
  const auto alone = sim::TrayModuleOptions(odd, 1, nullptr);
  ASSERT_TRUE(alone);
  EXPECT_EQ((*alone)[0].at.imei, "not an IMEI");
  EXPECT_EQ((*alone)[0].nv.imei_item, odd.nv.imei_item);

  std::string error;
  EXPECT_FALSE(sim::TrayModuleOptions(odd, 2, &error));
  EXPECT_NE(error.find("fifteen digits"), std::string::npos) << error;
  sim::SimModuleOptions clash;
  clash.usb.download_com = 31;  // module 2's AT port
  EXPECT_FALSE(sim::TrayModuleOptions(clash, 2, &error));
  EXPECT_NE(error.find("COM31"), std::string::npos) << error;
  clash = {};
  clash.com_base = 9990;
  EXPECT_FALSE(sim::TrayModuleOptions(clash, 2, &error));
  EXPECT_FALSE(sim::TrayModuleOptions({}, 0, &error));
  EXPECT_FALSE(sim::TrayModuleOptions({}, 33, &error));

  const auto targeted = sim::ParseTargetedFault("2@programmer:07:refuse:3", 3);
  ASSERT_TRUE(targeted);
  EXPECT_EQ(targeted->module, 1u);
  EXPECT_EQ(targeted->rule.request_code, 0x07);
  const auto everywhere = sim::ParseTargetedFault("programmer:07:refuse:3", 3);
  ASSERT_TRUE(everywhere);
  EXPECT_FALSE(everywhere->module);
  for (const char* bad : {"4@programmer:07:refuse", "0@programmer:07:refuse", "x@programmer:07:refuse",
                          "@programmer:07:refuse", "2@", "2@nothing"})
    EXPECT_FALSE(sim::ParseTargetedFault(bad, 3)) << bad;
}

TEST_F(SimTray, ListsEveryModulesPortsUnderTheirOwnNumbersPathsAndImei) {
  ASSERT_TRUE(StartTray({}));
  const auto listed = Listed();
  ASSERT_EQ(listed.size(), 9u);
  std::set<uint32_t> numbers;
  std::map<std::string, std::vector<std::string>> by_usb_path;
  for (const auto& entry : listed) {
    numbers.insert(vek::ComNumberOfName(entry.friendly_name).value_or(0));
    by_usb_path[entry.usb_path].push_back(entry.friendly_name);
  }
  EXPECT_EQ(numbers.size(), 9u);
  EXPECT_FALSE(numbers.contains(0));
  ASSERT_EQ(by_usb_path.size(), 3u);
  for (const auto& [usb_path, names] : by_usb_path) {
    ASSERT_EQ(names.size(), 3u) << usb_path;
    EXPECT_NE(names[0].find("Diagnostics"), std::string::npos);
    EXPECT_NE(names[1].find("AT Port"), std::string::npos);
    EXPECT_NE(names[2].find("NMEA"), std::string::npos);
  }

  std::set<std::string> imeis;
  for (size_t i = 0; i < tray_->size(); ++i) {
    sim::SimModule& module = tray_->module(i);
    for (const auto& line : LinesOf(module)) EXPECT_TRUE(Holds(listed, line)) << line.friendly_name;
    const std::string imei = AtImei(module);
    const auto item = module.device().nv.Element(vek::kImeiItem, 0);
    EXPECT_EQ(vek::ImeiText(item.data()), imei) << "module " << i + 1;
    imeis.insert(imei);
  }
  EXPECT_EQ(imeis.size(), 3u);
  EXPECT_FALSE(imeis.contains(""));
  // Distinct NV contents beyond the identity too.
  EXPECT_NE(tray_->module(0).device().nv.Snapshot(), tray_->module(2).device().nv.Snapshot());
}

TEST_F(SimTray, AFaultAimedAtTheSecondModuleHitsItAlone) {
  ASSERT_TRUE(StartTray({}, {"2@firmware:00:refuse:13"}));
  for (size_t i = 0; i < tray_->size(); ++i) {
    const auto answer = DiagAnswer(tray_->module(i), {0x00});
    ASSERT_FALSE(answer.empty()) << "module " << i + 1;
    if (i == 1) EXPECT_EQ(answer, std::vector<uint8_t>{0x13});
    else EXPECT_EQ(answer[0], 0x00) << "module " << i + 1;  // the version reply
  }
}

TEST_F(SimTray, AModuleRestartingLeavesTheOthersLinesInTheFileAtEveryLook) {
  sim::SimModuleOptions first;
  first.firmware.reboot_delay_ms = 3000;  // away long enough to be seen away on a busy machine
  ASSERT_TRUE(StartTray(first));
  sim::SimModule& restarting = tray_->module(1);
  std::vector<vek::PortEntry> others = LinesOf(tray_->module(0));
  for (const auto& line : LinesOf(tray_->module(2))) others.push_back(line);

  HostPort diag(restarting.DevicePath(SimPortRole::kDiagnostics));
  ASSERT_TRUE(diag.Write(sim::FrameReply({0x29, 0x02, 0x00}, false)));  // reset: its ports vanish and return
  int looks = 0, others_missing = 0;
  bool seen_away = false;
  const bool back = vektest::Eventually(
      [&] {
        const auto listed = Listed();
        ++looks;
        for (const auto& line : others) others_missing += Holds(listed, line) ? 0 : 1;
        seen_away = seen_away || listed.size() == others.size();
        std::lock_guard lock(restarting.device().mutex);
        return restarting.device().boots >= 1;
      },
      20000);
  ASSERT_TRUE(back);
  EXPECT_TRUE(seen_away);
  EXPECT_EQ(others_missing, 0) << "in " << looks << " looks";
  const auto listed = Listed();
  EXPECT_EQ(listed.size(), 9u);
  for (const auto& line : LinesOf(restarting)) EXPECT_TRUE(Holds(listed, line)) << line.friendly_name;

  // A module that stops takes its own lines with it and no one else's.
  restarting.Stop();
  const auto after = Listed();
  EXPECT_EQ(after.size(), 6u);
  for (const auto& line : others) EXPECT_TRUE(Holds(after, line)) << line.friendly_name;
}

}  // namespace
