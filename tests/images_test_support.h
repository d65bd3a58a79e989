// A window that records what the image and catalogue code show, and file helpers.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "records/reporting.h"
#include "records/window_notifications.h"

namespace vektest {

class ShownTextsWindow : public vek::WindowNotifications {
 public:
  void ShowProgress(uint32_t, int32_t) override {}
  void ShowStatus(const std::string& text) override { statuses.push_back(text); }
  void ShowDiagPort(uint32_t) override {}
  void MatchProduct(const std::string&) override {}
  void SetControls(vek::ControlState) override {}
  void ShowImei(const std::string&) override {}
  void ShowSwVersion(const std::string&) override {}
  void ShowFlash(const std::string& text) override { flashes.push_back(text); }
  void DownloadAborted() override {}
  void CheckRestoreDefault(bool) override {}
  void EnableRestoreDefault(bool) override {}
  int ShowMessage(int kind, const std::string& text, const std::string& caption) override {
    boxes.push_back(std::to_string(kind) + "|" + caption + "|" + text);
    return 1;
  }

  std::vector<std::string> statuses;
  std::vector<std::string> flashes;
  std::vector<std::string> boxes;
};

// Installs a ShownTextsWindow for the time of one test.
class WithShownTexts : public ::testing::Test {
 protected:
  void SetUp() override { vek::SetWindowNotifications(&window_); }
  void TearDown() override { vek::SetWindowNotifications(nullptr); }
  ShownTextsWindow window_;
};

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

}  // namespace vektest
