#include "upgrade/supported_models.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "records/reporting.h"

namespace {

class ProductMatching : public ::testing::Test {
 protected:
  void SetUp() override {
    vek::InstallStandardCallbacks(job_);
    vek::SetLogSink([this](std::string_view entry) { log_.emplace_back(entry); });
    job_.platform = vek::PLATFORM_NONE;
  }
  void TearDown() override { vek::SetLogSink(nullptr); }
  vek::UpgradeJob& job_ = vek::TheJob();
  std::vector<std::string> log_;
};

TEST_F(ProductMatching, AModelNameInsideTheRevisionSelectsThatModelOnly) {
  const auto list = vek::MatchProduct(job_, "Revision: ZX4410QRA_V1.2");
  EXPECT_EQ(list.names, (std::vector<std::string>{"ZX4410"}));
  EXPECT_EQ(list.selected, 0);
  EXPECT_TRUE(list.enabled);
  EXPECT_EQ(job_.platform, vek::PLATFORM_6270);
}

TEST_F(ProductMatching, SeveralMatchesAreListedAndThePlatformFollowsTheLast) {
  const auto list = vek::MatchProduct(job_, "ZX2180 ZX7410");
  EXPECT_EQ(list.names, (std::vector<std::string>{"ZX2180", "ZX7410"}));
  EXPECT_EQ(list.selected, 0);
  EXPECT_EQ(job_.platform, vek::PLATFORM_60X5);
}

TEST_F(ProductMatching, NoMatchLogsAndDisablesTheList) {
  const auto list = vek::MatchProduct(job_, "zx2180 in lower case");
  EXPECT_TRUE(list.names.empty());
  EXPECT_FALSE(list.enabled);
  EXPECT_EQ(job_.platform, vek::PLATFORM_NONE);
  EXPECT_EQ(log_, (std::vector<std::string>{"Error: this product not be supported!!!"}));
}

TEST(SupportedModels, PositionsOfNames) {
  EXPECT_EQ(vek::ModelPosition("ZX7210"), 6);
  EXPECT_EQ(vek::ModelPosition("TZ4410"), 8);
  EXPECT_EQ(vek::ModelPosition("ZX9999"), -1);
  EXPECT_EQ(vek::AllProducts().names.size(), 9u);
  EXPECT_EQ(vek::AllProducts().selected, -1);
}

}  // namespace

TEST(SupportedModels, ProductPositionsMapToPlatforms) {
  const uint32_t expected[] = {1, 0, 0, 0, 2, 0, 3, 3, 0};
  for (int position = 0; position < 9; ++position) {
    uint32_t platform = 99;
    ASSERT_TRUE(vek::PlatformOfProductPosition(position, platform));
    EXPECT_EQ(platform, expected[position]) << "position " << position;
  }
  uint32_t unchanged = 42;
  EXPECT_FALSE(vek::PlatformOfProductPosition(9, unchanged));
  EXPECT_EQ(unchanged, 42u);
}
