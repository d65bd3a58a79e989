// One simulated module in this process (a ZX2180 in its firmware that reports a
// new version after a download), an image folder for it, and vek-cli as a child
// process in a working and a runtime folder of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cli_process.h"
#include "images/platform_profile.h"
#include "records/job_records.h"
#include "sim/demo_images.h"
#include "sim/sim_module.h"
#include "test_support.h"
#include "upgradable_module.h"

namespace vektest {

class OneModuleJob : public ::testing::Test {
 protected:
  // `image_bytes`: the size of each image file.
  explicit OneModuleJob(int32_t image_bytes = 16 * 1024) : image_bytes_(image_bytes) {}

  void SetUp() override {
    images_ = dir_.File("images");
    ASSERT_TRUE(sim::WriteImageFolder(images_, vek::PLATFORM_6280, image_bytes_, image_bytes_));
    std::filesystem::create_directory(dir_.File("work"));
    std::filesystem::create_directory(dir_.File("run"));
    setup_.working_dir = dir_.File("work");
    setup_.runtime_dir = dir_.File("run");
    module_ = std::make_unique<sim::SimModule>(UpgradableModuleOptions(dir_.File("ports")));
    std::string error;
    ASSERT_TRUE(module_->Start(&error)) << error;
  }

  CliRun Cli(std::vector<std::string> args, const std::string& images) {
    args.insert(args.begin(), {"--port-map", dir_.File("ports"), "--images", images});
    CliRun run = RunCli(args, setup_);
    EXPECT_FALSE(run.timed_out) << run.out << run.err;
    return run;
  }
  std::string Work(const std::string& name) const { return dir_.File("work/" + name); }

  TempDir dir_;
  std::string images_;
  CliSetup setup_;
  std::unique_ptr<sim::SimModule> module_;

 private:
  int32_t image_bytes_;
};

}  // namespace vektest
