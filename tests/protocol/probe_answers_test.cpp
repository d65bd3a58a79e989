#include "protocol/mode_probe.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <thread>

#include "sim/sim_module.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

vek::TargetMode Classify(const Bytes& answer) {
  return vek::ClassifyProbeAnswer(answer.data(), static_cast<int>(answer.size()));
}

TEST(ProbeAnswers, AreClassifiedByTheirFirstFiveBytes) {
  EXPECT_EQ(Classify({0x7E, 0x02, 0x6A, 0xD3, 0x7E}), vek::TARGET_DOWNLOAD);
  EXPECT_EQ(Classify({0x15, 0x06, 0x58, 0x81, 0x7E}), vek::TARGET_DIAG);
  EXPECT_EQ(Classify({0x7E, 0x0E, 0x09, 0x00, 0x00}), vek::TARGET_GOING);
  EXPECT_EQ(Classify({0x7E, 0x0E}), vek::TARGET_GOING);
  EXPECT_EQ(Classify({0x7E, 0x02, 0x6A}), vek::TARGET_UNSPECIFIED);
  EXPECT_EQ(Classify({0x15, 0x06, 0x58, 0x81}), vek::TARGET_UNSPECIFIED);
  EXPECT_EQ(Classify({0x7E}), vek::TARGET_UNSPECIFIED);
  EXPECT_EQ(Classify({}), vek::TARGET_UNSPECIFIED);
  EXPECT_EQ(Classify({0x13, 0x06, 0x58, 0x81, 0x7E}), vek::TARGET_UNSPECIFIED);
}

}  // namespace
