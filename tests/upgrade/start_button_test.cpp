// The start button: counting presses into a fresh log, asking for the product
// in a download mode, and handing the job to the worker.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "upgrade/start_button.h"
#include "upgrade/worker_thread.h"
#include "upgrade_test_support.h"

namespace {

class StartButton : public upgradetest::UpgradeTest {
 protected:
  std::string LogContent() {
    std::ifstream in(work_.File("vek.log"), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  vek::WorkerThread worker_;
};

TEST_F(StartButton, EveryLaterPressStartsAnEmptyLog) {
  ASSERT_TRUE(vek::OpenLogFile());  // as at start-up, in the working folder
  job().write_log("from the device search");
  window_.image_path_text = "";  // each job ends at once: no image folder

  ASSERT_TRUE(vek::PressStart(window_, worker_));
  worker_.Join();
  const int first = vek::StartCount();
  ASSERT_TRUE(vek::PressStart(window_, worker_));
  worker_.Join();
  EXPECT_EQ(vek::StartCount(), first + 1);
  EXPECT_EQ(LogContent(), "Button: cnt=" + std::to_string(first + 1) + "\r\n");
  EXPECT_FALSE(vek::TheLogFile().IsOpen());  // closed again at the job's end
}

// The press count lives as long as the process: the first press is checked in a
// process of its own (gtest starts this test again in a fresh one), so it holds
// whichever tests ran before it.
TEST_F(StartButton, TheFirstPressOfAProcessKeepsWhatWasLoggedSinceStartUp) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const bool opened = vek::OpenLogFile();
        job().write_log("from the device search");
        window_.image_path_text = "";
        const bool started = vek::PressStart(window_, worker_);
        worker_.Join();
        const std::string log = LogContent();
        std::fprintf(stderr, "count %d, log [%s]\n", vek::StartCount(), log.c_str());
        std::_Exit(opened && started && vek::StartCount() == 1 &&
                           log == "from the device search\r\nButton: cnt=1\r\n"
                       ? 0
                       : 1);
      },
      ::testing::ExitedWithCode(0), "count 1");
}

TEST_F(StartButton, InADownloadModeAProductMustBeChosen) {
  job().target_state = vek::TARGET_DOWNLOAD;
  job().platform = vek::PLATFORM_NONE;
  window_.product_position = -1;

  EXPECT_FALSE(vek::PressStart(window_, worker_));
  EXPECT_FALSE(worker_.Running());
  const auto logs = window_.Logs();
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_EQ(logs[0], "Button: cnt=" + std::to_string(vek::StartCount()));
  EXPECT_EQ(logs[1], "Button: please choose the project!!!");
  EXPECT_EQ(window_.Boxes(), std::vector<std::string>{"1|Error|please choose the project!"});
  EXPECT_FALSE(window_.Has("controls off"));
  EXPECT_EQ(job().platform, vek::PLATFORM_NONE);
}

TEST_F(StartButton, TheChosenProductSetsThePlatformAndTheJobStarts) {
  job().target_state = vek::TARGET_GOING;
  job().platform = vek::PLATFORM_NONE;
  window_.product_position = 6;
  window_.image_path_text = "";

  ASSERT_TRUE(vek::PressStart(window_, worker_));
  worker_.Join();
  EXPECT_EQ(job().platform, vek::PLATFORM_60X5);
  const auto all = window_.All();
  ASSERT_GE(all.size(), 3u);
  EXPECT_EQ(all[1].what, "controls off");
  EXPECT_EQ(all[2].what, "progress 0/1");
  EXPECT_TRUE(window_.Has("controls on"));
}

TEST_F(StartButton, ANormalModuleNeedsNoProduct) {
  job().target_state = vek::TARGET_DIAG;
  job().platform = vek::PLATFORM_6280;
  window_.product_position = -1;
  window_.image_path_text = "";
  ASSERT_TRUE(vek::PressStart(window_, worker_));
  worker_.Join();
  EXPECT_EQ(job().platform, vek::PLATFORM_6280);
  EXPECT_FALSE(window_.Has("box 1|Error|please choose the project!"));
}

}  // namespace
