#include "records/job_records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "records/reporting.h"
#include "recording_window.h"
#include "records/time_scale.h"

namespace {

class Reporting : public ::testing::Test {
 protected:
  void SetUp() override {
    vek::SetDebugOutput([this](std::string_view text) { debug_.emplace_back(text); });
    vek::SetLogSink([this](std::string_view text) { log_.emplace_back(text); });
  }
  void TearDown() override {
    vek::SetWindowNotifications(nullptr);
    vek::SetDebugOutput(nullptr);
    vek::SetLogSink(nullptr);
  }
  vek::UpgradeJob& job_ = vek::TheJob();
  vektest::RecordingWindow window_;
  std::vector<std::string> debug_;
  std::vector<std::string> log_;
};

TEST_F(Reporting, StatusTextGoesToTheWindowAndToTheDebugOutputWithCrLf) {
  job_.show_status("Version:%s", "M6280");
  ASSERT_EQ(window_.Statuses().size(), 1u);
  EXPECT_EQ(window_.Statuses()[0], "Version:M6280");
  ASSERT_EQ(debug_.size(), 1u);
  EXPECT_EQ(debug_[0], "Version:M6280\r\n");
}

TEST_F(Reporting, LongTextsAreCutToTheirBuffers) {
  const std::string long_text(1000, 'x');
  job_.show_status("%s", long_text.c_str());
  job_.write_log("%s", long_text.c_str());
  EXPECT_EQ(window_.Statuses().at(0).size(), 299u);
  EXPECT_EQ(log_.at(0).size(), 197u);
}

TEST_F(Reporting, MessageBoxKindsAndAnswers) {
    EXPECT_EQ(job_.show_message(1, "done", "OK"), 1);
  window_.box_answer = 0;
  EXPECT_EQ(job_.show_message(2, "erase?", "warning"), 0);
  window_.box_answer = 7;  // a box closed some other way
  EXPECT_EQ(job_.show_message(2, "erase?", "warning"), 0);
  EXPECT_EQ(job_.show_message(3, "never shown", "Error"), 0);
  ASSERT_EQ(window_.Boxes().size(), 3u);
  EXPECT_EQ(window_.Boxes()[0], "1|OK|done");
  EXPECT_EQ(window_.Boxes()[1], "2|warning|erase?");
}

TEST_F(Reporting, ProgressReachesTheWindowAsDoneAndTotal) {
  job_.show_progress(0, 1);
  job_.show_progress(1017, 2034);
  EXPECT_EQ(window_.Progress(), (std::vector<std::pair<uint32_t, int32_t>>{{0, 1}, {1017, 2034}}));
}

TEST_F(Reporting, NothingIsLoggedWithoutALogFile) {
  vek::SetLogSink(nullptr);
  job_.write_log("lost");
  EXPECT_TRUE(log_.empty());
}

TEST(ProgressPercent, IsTruncatedAndBounded) {
  EXPECT_EQ(vek::ProgressPercent(0, 1), 0);
  EXPECT_EQ(vek::ProgressPercent(2500, 2500), 100);
  EXPECT_EQ(vek::ProgressPercent(1, 3), 33);
  EXPECT_EQ(vek::ProgressPercent(2, 3), 66);
  EXPECT_EQ(vek::ProgressPercent(4000000000u, 2000000000), 200);
  EXPECT_EQ(vek::ProgressPercent(5, 0), 0);
}

TEST(JobRecords, ResetForANewDeviceSetsTheResetValues) {
  vek::UpgradeJob& job = vek::TheJob();
  vek::DeviceInfo& device = vek::TheDevice();
  job.target_state = vek::TARGET_DIAG;
  job.platform = vek::PLATFORM_6280;
  job.stage = vek::STAGE_IMAGES;
  job.download_mode = 1;
  device.diag_port = 7;
  device.imei.Set("123456789012345");
  device.product_m = 5;
  vek::ResetForNewDevice(job, device, "/images");
  EXPECT_EQ(job.target_state, vek::TARGET_UNSPECIFIED);
  EXPECT_EQ(job.platform, vek::PLATFORM_NONE);
  EXPECT_EQ(job.stage, vek::STAGE_IDLE);
  EXPECT_EQ(job.download_mode, 0);
  EXPECT_EQ(job.image_path.Get(), "/images");
  EXPECT_EQ(device.diag_port, 0u);
  EXPECT_TRUE(device.imei.Empty());
  EXPECT_EQ(device.product_m, 5);  // kept until the next identity query
}

TEST(JobRecords, AnImagePathIsCutTo259Characters) {
  vek::UpgradeJob& job = vek::TheJob();
  job.image_path.Set(std::string(400, 'p'));
  EXPECT_EQ(job.image_path.Get().size(), 259u);
}

TEST(TimeScale, AcceptsOnlyPositiveNumbers) {
  EXPECT_EQ(vek::ParseTimeScale("0.05"), 0.05);
  EXPECT_EQ(vek::ParseTimeScale("2"), 2.0);
  EXPECT_FALSE(vek::ParseTimeScale("0"));
  EXPECT_FALSE(vek::ParseTimeScale("-1"));
  EXPECT_FALSE(vek::ParseTimeScale("fast"));
  EXPECT_FALSE(vek::ParseTimeScale("1e999"));
  EXPECT_FALSE(vek::ParseTimeScale("nan"));
  EXPECT_FALSE(vek::ParseTimeScale("1 "));
  EXPECT_FALSE(vek::ParseTimeScale(""));
}

}  // namespace
