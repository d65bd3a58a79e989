#include "at/at_control_commands.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <mutex>
#include <thread>

#include "at/at_exchange.h"
#include "at/port_mode_probe.h"
#include "at_test_support.h"
#include "records/reporting.h"

namespace {

// Collects the log entries of the standard callbacks.
class LogRecorder {
 public:
  LogRecorder() {
    vek::InstallStandardCallbacks(vek::TheJob());
    vek::SetLogSink([this](std::string_view entry) {
      std::lock_guard lock(mutex_);
      entries_.emplace_back(entry);
    });
  }
  ~LogRecorder() { vek::SetLogSink(nullptr); }
  std::vector<std::string> Entries() {
    std::lock_guard lock(mutex_);
    return entries_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> entries_;
};

sim::AtOptions Answering(const std::string& power_on_default, const std::string& restore) {
  sim::AtOptions at;
  at.power_on_default_reply = power_on_default;
  at.restore_defaults_reply = restore;
  return at;
}

TEST(PowerOnDefaultCommand, OkAndErrorBothLetTheDownloadGoOn) {
  for (const std::string answer : {"OK", "ERROR"}) {
    vektest::SimulatedAtModule module(Answering(answer, "OK"));
    ASSERT_TRUE(module.started());
    LogRecorder log;
    vek::TheDevice().at_port = module.AtPort();
    EXPECT_TRUE(vek::SentCpwrondCmd()) << answer;
    EXPECT_EQ(log.Entries(), std::vector<std::string>{"AT+CPWROND=0, return " + answer + "!"});
  }
}

TEST(PowerOnDefaultCommand, FailsWithoutAnAnswerOrAPort) {
  sim::AtOptions silent;
  silent.silent = true;
  vektest::SimulatedAtModule module(silent);
  ASSERT_TRUE(module.started());
  LogRecorder log;
  vek::TheDevice().at_port = module.AtPort();
  EXPECT_FALSE(vek::SentCpwrondCmd());
  EXPECT_TRUE(log.Entries().empty());

  vek::TheDevice().at_port = 4242;  // no such port
  EXPECT_FALSE(vek::SentCpwrondCmd());
  EXPECT_EQ(log.Entries(), std::vector<std::string>{"Error: SentCpwrondCmd, can not open AT port!"});
}

TEST(RestoreDefaultsCommand, OnlyAnOkCounts) {
  {
    vektest::SimulatedAtModule module(Answering("OK", "OK"));
    ASSERT_TRUE(module.started());
    EXPECT_TRUE(vek::AtRestoreDefaults(module.AtPort()));
    EXPECT_FALSE(vek::AtRestoreDefaults(4242));
  }
  {
    vektest::SimulatedAtModule module(Answering("OK", "ERROR"));
    ASSERT_TRUE(module.started());
    EXPECT_FALSE(vek::AtRestoreDefaults(module.AtPort()));
  }
  {
    sim::AtOptions busy = Answering("OK", "OK");
    busy.at_port_busy = true;
    vektest::SimulatedAtModule module(busy);
    ASSERT_TRUE(module.started());
    EXPECT_FALSE(vek::AtRestoreDefaults(module.AtPort()));
    EXPECT_TRUE(vek::AtRestoreDefaults(module.NmeaPort()));
  }
}

// Whether the terminal behind `path` is still marked exclusive.
int ExclusiveFlag(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  int flag = -1;
  ioctl(fd, TIOCGEXCL, &flag);
  close(fd);
  return flag;
}

TEST(AtExchange, SendsTheBytesAsIsAndReleasesThePortAfterwards) {
  vektest::PeerPort peer(31, "AT Port");
  char reply[vek::kAtReplyBufferSize] = {};
  peer.Send({'s', 't', 'a', 'l', 'e'});  // left over from before: discarded at the open
  EXPECT_TRUE(vek::AtExchange(31, vek::CommandBytes(vek::kAtIdentify), 5, reply, sizeof reply));
  const auto sent = peer.Received();
  EXPECT_EQ(std::string(sent.begin(), sent.end()), "ATI\r\n");
  EXPECT_STREQ(reply, "");
  // Neither the advisory lock nor TIOCEXCL outlives the exchange, though the
  // other side of the pty stays open.
  EXPECT_EQ(ExclusiveFlag(peer.pty().device_path()), 0);
  const vek::PortHandle again = vek::OpenSerialDevice(31, vek::PortShare::kExclusive);
  EXPECT_NE(again, vek::kInvalidPort);
  // While somebody holds the port, an exchange leaves the reply as it was.
  std::strcpy(reply, "untouched");
  EXPECT_TRUE(vek::AtExchange(31, vek::CommandBytes(vek::kAtIdentify), 5, reply, sizeof reply));
  EXPECT_STREQ(reply, "untouched");
  EXPECT_TRUE(peer.Received(50).empty());
  vek::CloseSerialDevice(again, vek::PortShare::kExclusive);
}

// Reads from a pty master until `expected` has arrived or nothing more comes.
bool Awaits(int master, const std::string& expected) {
  std::string got;
  pollfd p{master, POLLIN, 0};
  while (got.size() < expected.size() && poll(&p, 1, 5000) == 1 && (p.revents & POLLIN)) {
    char buffer[64];
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  return got == expected;
}

// The module drops off the bus with the command unanswered and comes back as a
// new device under the same number: the exchange asks the port that came back.
TEST(AtExchange, APortThatGoesAwayIsAskedAgainWhereItCameBack) {
  vektest::PeerPort peer(31, "AT Port");
  sim::PtyPort back;
  ASSERT_TRUE(back.Open());
  bool first_asked = false;
  bool second_asked = false;
  std::thread module([&] {
    first_asked = Awaits(peer.pty().master_fd(), "ATI\r\n");
    sim::WritePortMapFile(peer.map_path(), {{"Test Modem AT Port (COM31)", back.device_path()}});
    peer.pty().Close();
    second_asked = Awaits(back.master_fd(), "ATI\r\n");
    const std::string answer = "Back\r\nOK\r\n";
    if (second_asked) {
      EXPECT_EQ(write(back.master_fd(), answer.data(), answer.size()), ssize_t(answer.size()));
    }
  });
  char reply[vek::kAtReplyBufferSize] = {};
  const vek::AtTransfer transfer =
      vek::AtTransact(31, vek::CommandBytes(vek::kAtIdentify), 5, vek::kAtExchangeWaitMs, reply, sizeof reply, true);
  module.join();
  EXPECT_TRUE(first_asked);
  EXPECT_TRUE(second_asked);
  EXPECT_TRUE(transfer.opened && transfer.written);
  EXPECT_STREQ(reply, "Back\r\nOK\r\n");
  EXPECT_EQ(ExclusiveFlag(back.device_path()), 0);  // the second port is released too
}

TEST(AtExchange, AReplyThatFillsTheBufferIsStillTerminated) {
  sim::AtOptions at;
  at.revision = std::string(400, 'R');
  vektest::SimulatedAtModule module(at);
  ASSERT_TRUE(module.started());
  char reply[8];
  std::memset(reply, 'Z', sizeof reply);
  EXPECT_TRUE(vek::AtExchange(module.AtPort(), vek::CommandBytes(vek::kAtIdentify), 5, reply, sizeof reply));
  EXPECT_STREQ(reply, "Manufac");
}

TEST(PortModeProbe, TellsTheModesApartThroughAOneShotExchange) {
  const std::pair<sim::SimState, vek::TargetMode> cases[] = {{sim::SimState::kFirmware, vek::TARGET_DIAG},
                                                            {sim::SimState::kBootLoader, vek::TARGET_DOWNLOAD},
                                                            {sim::SimState::kProgrammer, vek::TARGET_GOING}};
  for (const auto& [state, mode] : cases) {
    vektest::SimulatedAtModule module({}, state);
    ASSERT_TRUE(module.started());
    vek::UpgradeJob& job = vek::TheJob();
    EXPECT_TRUE(vek::ProbePortMode(module.Port(sim::SimPortRole::kDiagnostics), job));
    EXPECT_EQ(job.target_state.load(), mode);
    // The diagnostic port is free again for the connect task's own open.
    EXPECT_TRUE(vek::OpenDiagPort(module.Port(sim::SimPortRole::kDiagnostics)));
    vek::CloseDiagPort();
  }
}

TEST(PortModeProbe, NoAnswerIsUnspecified) {
  vektest::PeerPort peer(33, "Diagnostics");
  vek::UpgradeJob& job = vek::TheJob();
  job.target_state = vek::TARGET_DIAG;
  EXPECT_FALSE(vek::ProbePortMode(33, job));
  EXPECT_EQ(job.target_state.load(), vek::TARGET_UNSPECIFIED);
  const auto sent = peer.Received();
  EXPECT_EQ(sent, (std::vector<uint8_t>{0x7E, 0x06, 0x4E, 0x95, 0x7E}));
  job.target_state = vek::TARGET_DIAG;
  EXPECT_FALSE(vek::ProbePortMode(4242, job));
  EXPECT_EQ(job.target_state.load(), vek::TARGET_UNSPECIFIED);
}

}  // namespace
