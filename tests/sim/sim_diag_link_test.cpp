// The firmware's diagnostic task behind a slow USB link, as the host sees it through a real pty.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "link/unique_fd.h"
#include "nv/nv_exchange.h"
#include "records/time_scale.h"
#include "sim/sim_module.h"
#include "test_support.h"

namespace {

constexpr uint8_t kFirstItem = 20, kWindow = 6;  // reads of the items from kFirstItem on, in one write

struct PaceCase {
  uint32_t latency_ms, service_ms, queue;
  size_t answered;  // the others are dropped
  bool overlapped;  // the latency is long enough to tell a pipe from a lock step
};

class DiagLinkPace : public testing::TestWithParam<PaceCase> {};

TEST_P(DiagLinkPace, AnswersInOrderNoSoonerThanTheLinkAndTaskAllowAndDropsTheOverflow) {
  const PaceCase c = GetParam();
  vektest::TempDir dir;
  sim::SimModule module(sim::SimModuleOptions{.port_map_path = dir.File("ports"),
                                              .diag_link = {c.latency_ms * 1000, c.service_ms * 1000, c.queue}});
  ASSERT_TRUE(module.Start());
  const vek::UniqueFd port(open(module.DevicePath(sim::SimPortRole::kDiagnostics).c_str(), O_RDWR | O_NOCTTY));
  std::vector<uint8_t> window;
  for (uint8_t item = kFirstItem; item < kFirstItem + kWindow; ++item) {
    uint8_t request[vek::kNvRequestLength] = {0x26, item}, frame[vek::kNvFrameCapacity];
    window.insert(window.end(), frame, frame + vek::EncodeNvFrame(request, sizeof request, frame));
  }
  const auto written = vek::Clock::now();
  ASSERT_EQ(write(port.get(), window.data(), window.size()), static_cast<ssize_t>(window.size()));
  std::vector<std::pair<uint8_t, vek::Clock::duration>> replies;  // item, when
  sim::FrameDecoder decoder;
  // Unscaled, for a slow machine; once the replies are in, as long as a dropped request's would take.
  auto deadline = vek::Deadline::At(written + std::chrono::seconds(10));
  for (pollfd p{port.get(), POLLIN, 0}; !deadline.Passed();) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline.Remaining());
    uint8_t buffer[4096];
    const ssize_t n = poll(&p, 1, static_cast<int>(left.count())) > 0 ? read(port.get(), buffer, sizeof buffer) : 0;
    if (p.revents != 0 && n <= 0) break;  // hung up
    decoder.Feed(buffer, static_cast<size_t>(n), [&](sim::DecodedFrame&& reply) {
      EXPECT_TRUE(reply.crc_ok && reply.packet.size() == vek::kNvRequestLength && reply.packet[0] == 0x26);
      replies.emplace_back(reply.packet.size() > 1 ? reply.packet[1] : 0, vek::Clock::now() - written);
      if (replies.size() == c.answered) deadline = vek::Deadline::AfterMs(c.latency_ms + 2 * c.service_ms);
    });
  }
  ASSERT_EQ(replies.size(), c.answered);
  EXPECT_EQ(module.dropped_diag_requests(), kWindow - c.answered);
  for (size_t i = 0; i < replies.size(); ++i) EXPECT_EQ(replies[i].first, kFirstItem + i);
  EXPECT_GE(replies.front().second, vek::ScaledMs(c.latency_ms));
  EXPECT_GE(replies.back().second, vek::ScaledMs(c.latency_ms) + c.answered * vek::ScaledMs(c.service_ms));
  EXPECT_LT(replies.back().second, c.overlapped ? kWindow * vek::ScaledMs(c.latency_ms) : vek::Clock::duration::max());
}

constexpr PaceCase kCases[] = {{20, 500, 2, 2, false}, {20, 500, 0, 6, false}, {3000, 50, 0, 6, true}};
INSTANTIATE_TEST_SUITE_P(Window, DiagLinkPace, testing::ValuesIn(kCases));

TEST(DiagLinkLatency, TakesPlainMillisecondsOnly) {
  EXPECT_EQ(sim::ParseLinkLatencyMs("0.5"), 500u);
  for (const char* bad : {"", ".", "-1", "1e3", "nan", "inf", "0x10", " 1", "1..2", "60000.5"})
    EXPECT_FALSE(sim::ParseLinkLatencyMs(bad)) << bad;
}

}  // namespace
