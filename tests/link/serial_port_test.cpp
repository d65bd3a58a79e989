#include "link/serial_port.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "link/hdlc_frame.h"
#include "link/port_source.h"
#include "records/stop_wait.h"
#include "sim/sim_module.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(DiagPortOpen, AnUnknownNumberFailsAndLeavesThePortClosed) {
  vektest::PeerPort peer(7);
  EXPECT_FALSE(vek::OpenDiagPort(8));
  EXPECT_EQ(vek::DiagPort.load(), vek::kInvalidPort);
  vek::CloseDiagPort();
  EXPECT_EQ(vek::DiagPort.load(), vek::kInvalidPort);
  EXPECT_FALSE(vek::OpenDiagPort(0));
}

TEST(DiagPortOpen, ASecondOpenKeepsTheFirstPort) {
  vektest::PeerPort peer(7);
  ASSERT_TRUE(vek::OpenDiagPort(7));
  const vek::PortHandle first = vek::DiagPort.load();
  EXPECT_TRUE(vek::OpenDiagPort(5));
  EXPECT_EQ(vek::DiagPort.load(), first);
}

TEST(DiagPortOpen, APortMapLineNamingAFileIsNoPort) {
  vektest::TempDir dir;
  const std::string target = dir.File("not-a-tty");
  std::ofstream(target) << "data";
  sim::WritePortMapFile(dir.File("ports"), {{"Evil Diagnostics (COM9)", target}});
  vek::SetPortMapPath(dir.File("ports"));
  EXPECT_FALSE(vek::OpenDiagPort(9));
  EXPECT_EQ(vek::DiagPort.load(), vek::kInvalidPort);
  vek::SetPortMapPath("");
}

// The module dropped off the bus (the pty's other side closed): the held port
// is no longer open. While no port carries the number the open fails; once
// the port is back, at another device path, the open finds it there.
TEST(DiagPortOpen, AHungUpPortIsClosedAndOpenedAgainByItsNumber) {
  vektest::PeerPort peer(7);
  ASSERT_TRUE(vek::OpenDiagPort(7));
  EXPECT_FALSE(vek::PortHungUp(vek::DiagPort.load()));
  ASSERT_TRUE(sim::WritePortMapFile(peer.map_path(), {}));
  peer.pty().Close();
  EXPECT_TRUE(vek::PortHungUp(vek::DiagPort.load()));
  EXPECT_FALSE(vek::OpenDiagPort(7));
  EXPECT_EQ(vek::DiagPort.load(), vek::kInvalidPort);

  sim::PtyPort back;
  ASSERT_TRUE(back.Open());
  ASSERT_TRUE(sim::WritePortMapFile(peer.map_path(), {{"Test Modem Diagnostics (COM7)", back.device_path()}}));
  ASSERT_TRUE(vek::OpenDiagPort(7));
  const uint8_t flag = 0x7E;
  EXPECT_EQ(vek::WritePort(vek::DiagPort, &flag, 1), 1);
  pollfd p{back.master_fd(), POLLIN, 0};
  uint8_t arrived = 0;
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  EXPECT_EQ(read(back.master_fd(), &arrived, 1), 1);
  EXPECT_EQ(arrived, flag);
}

// A device its number no longer names after the open (another module may hold it now) is never used.
TEST(DiagPortOpen, ADeviceTheNumberNoLongerNamesIsNotOpened) {
  struct ChangingPorts : vek::PortSource {  // a tray's list while its modules restart
    std::vector<vek::PortEntry> first, then;
    std::vector<vek::PortEntry> ListPorts() override { return std::exchange(first, then); }
  } ports;
  sim::PtyPort ours;
  ASSERT_TRUE(ours.Open());
  ports.first = {{"Test Modem Diagnostics (COM7)", ours.device_path(), "3-1.1"}};
  vek::SetSystemPortSource(std::shared_ptr<vek::PortSource>(&ports, [](vek::PortSource*) {}));
  EXPECT_EQ(vek::OpenSerialDevice(7, vek::PortShare::kShared), vek::kInvalidPort);
  vek::SetSystemPortSource(nullptr);
}

// A port that is still there is kept as it is: no reopen, and the bytes
// waiting on it are neither read nor purged by the check.
TEST(DiagPortOpen, APresentPortIsKeptWithItsUnreadBytes) {
  vektest::PeerPort peer(7);
  ASSERT_TRUE(vek::OpenDiagPort(7));
  const vek::PortHandle held = vek::DiagPort.load();
  peer.Send({1, 2, 3});
  ASSERT_EQ(vek::WaitForInput(held, vek::Deadline::AfterMs(20000)), vek::WaitResult::kReady);
  const uint32_t generation = vek::DiagReceiveGeneration();
  EXPECT_TRUE(vek::OpenDiagPort(7));
  EXPECT_EQ(vek::DiagPort.load(), held);
  EXPECT_EQ(vek::DiagReceiveGeneration(), generation);
  ASSERT_TRUE(vektest::Eventually([&] {
    int queued = 0;
    ioctl(held, FIONREAD, &queued);
    return queued == 3;
  }));
  uint8_t buffer[4] = {};
  EXPECT_EQ(vek::ReadPort(held, buffer, 4), 3);
}

TEST(DiagPortOpen, ConfigureRefusesTheInvalidHandle) { EXPECT_FALSE(vek::ConfigurePort(vek::kInvalidPort)); }

TEST(PortReadWrite, ReadReturnsWhatHasArrivedAndNeverBlocks) {
  vektest::PeerPort peer(7);
  ASSERT_TRUE(vek::OpenDiagPort(7));
  uint8_t buffer[8] = {};
  EXPECT_EQ(vek::ReadPort(vek::DiagPort, buffer, 5), 0);
  peer.Send({1, 2, 3});
  ASSERT_EQ(vek::WaitForInput(vek::DiagPort, vek::Deadline::AfterMs(20000)), vek::WaitResult::kReady);
  EXPECT_TRUE(vektest::Eventually([&] {
    int queued = 0;
    ioctl(vek::DiagPort.load(), FIONREAD, &queued);
    return queued == 3;
  }));
  EXPECT_EQ(vek::ReadPort(vek::DiagPort, buffer, 5), 3);
  EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{1, 2, 3}));
}

TEST(PortReadWrite, WriteOfNothingOrToNoPortIsZero) {
  vektest::PeerPort peer(7);
  ASSERT_TRUE(vek::OpenDiagPort(7));
  const uint8_t byte = 0x55;
  EXPECT_EQ(vek::WritePort(vek::DiagPort, &byte, 0), 0);
  EXPECT_EQ(vek::WritePort(vek::kInvalidPort, &byte, 1), 0);
  EXPECT_EQ(vek::WritePort(vek::DiagPort, &byte, 1), 1);
  EXPECT_EQ(peer.Received(), (Bytes{0x55}));
}

TEST(PortReadWrite, PurgeSelectorTwoDoesNothing) {
  vektest::PeerPort peer(7);
  ASSERT_TRUE(vek::OpenDiagPort(7));
  peer.Send({9, 9});
  ASSERT_EQ(vek::WaitForInput(vek::DiagPort, vek::Deadline::AfterMs(20000)), vek::WaitResult::kReady);
  vek::PurgeDiagPort(2);
  uint8_t buffer[4];
  EXPECT_GE(vek::ReadPort(vek::DiagPort, buffer, 4), 1);
}

TEST(PortReadWrite, AVanishedPortIsReportedNotSpunOn) {
  vektest::PeerPort peer(7);
  ASSERT_TRUE(vek::OpenDiagPort(7));
  peer.pty().Close();
  EXPECT_EQ(vek::WaitForInput(vek::DiagPort, vek::Deadline::AfterMs(60000)), vek::WaitResult::kHungUp);
  const uint8_t byte = 0x55;
  EXPECT_EQ(vek::WritePort(vek::DiagPort, &byte, 1), 0);
}

TEST(PortReadWrite, AStopRequestEndsAWaitAtOnce) {
  vektest::PeerPort peer(7);
  ASSERT_TRUE(vek::OpenDiagPort(7));
  const vek::PortHandle port = vek::DiagPort;
  vek::WaitResult result = vek::WaitResult::kReady;
  bool paused_fully = true;
  std::jthread waiter([&](std::stop_token stop) {
    vek::StopScope scope(stop);
    result = vek::WaitForInput(port, vek::Deadline::AfterMs(600000));
    paused_fully = vek::PauseMs(600000);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  waiter.request_stop();
  waiter.join();
  EXPECT_EQ(result, vek::WaitResult::kStopped);
  EXPECT_FALSE(paused_fully);
}

TEST(ExclusivePorts, ASecondExclusiveOpenIsRefusedUntilTheFirstCloses) {
  vektest::PeerPort peer(21, "AT Port");
  const vek::PortHandle first = vek::OpenSerialDevice(21, vek::PortShare::kExclusive);
  ASSERT_NE(first, vek::kInvalidPort);
  EXPECT_EQ(vek::OpenSerialDevice(21, vek::PortShare::kExclusive), vek::kInvalidPort);
  vek::CloseSerialDevice(first, vek::PortShare::kExclusive);
  const vek::PortHandle again = vek::OpenSerialDevice(21, vek::PortShare::kExclusive);
  EXPECT_NE(again, vek::kInvalidPort);
  vek::CloseSerialDevice(again, vek::PortShare::kExclusive);
}

TEST(TransmitPurge, NoFrameWrittenAndPurgedIsLost) {
  vektest::TempDir dir;
  sim::SimModuleOptions options;
  options.port_map_path = dir.File("ports");
  sim::SimModule module(options);
  ASSERT_TRUE(module.Start());
  vek::SetPortMapPath(options.port_map_path);
  ASSERT_TRUE(vek::OpenDiagPort(module.ComNumber(sim::SimPortRole::kDiagnostics)));
  constexpr int kFrames = 1000;
  for (int i = 0; i < kFrames; ++i) {
    const uint8_t request[] = {0x4B, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)};
    vek::FillTxPacket(request, sizeof request);
    ASSERT_TRUE(vek::SendPacket(1));
  }
  EXPECT_TRUE(vektest::Eventually([&] { return module.Requests().size() == kFrames; }, 5000));
  const auto requests = module.Requests();
  ASSERT_EQ(requests.size(), static_cast<size_t>(kFrames));
  for (int i = 0; i < kFrames; ++i) {
    EXPECT_TRUE(requests[i].crc_ok);
    EXPECT_EQ(requests[i].packet, (Bytes{0x4B, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)}));
  }
  vek::CloseDiagPort();
  vek::SetPortMapPath("");
}

}  // namespace
