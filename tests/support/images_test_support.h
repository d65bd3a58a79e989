// A window that records what the image and catalogue code show, and file helpers.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "records/reporting.h"
#include "records/window_notifications.h"
#include "recording_window.h"

namespace vektest {

// A recording window for the time of one test.
class WithShownTexts : public ::testing::Test {
 protected:
  RecordingWindow window_;
};

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

}  // namespace vektest
