// Whole jobs driven through the window against the simulated module: the
// operator presses "start", answers the boxes and sees the result; closing is
// refused while the job runs; a pulled cable aborts the job only where the port
// must not vanish.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

#include <unistd.h>

#include "app/debug_output.h"
#include "device/session.h"
#include "records/job_records.h"
#include "sim/demo_images.h"
#include "sim/sim_module.h"
#include "test_paths.h"
#include "ui/text_progress_ctrl.h"
#include "silent_line_database.h"
#include "upgradable_module.h"
#include "window_test_support.h"

namespace {

using uitest::Control;

// The window as the program builds it, watched: it notes every status text and,
// at the end of a job (its last report gives the controls back), what it shows.
class WatchedWindow : public vek::CVEKDlg {
 public:
  using CVEKDlg::CVEKDlg;
  void ShowStatus(const std::string& text) override {
    CVEKDlg::ShowStatus(text);
    statuses.push_back(text);
    last_report = std::chrono::steady_clock::now();
  }
  void ShowProgress(uint32_t done, int32_t total) override {
    CVEKDlg::ShowProgress(done, total);
    if (at_full_bar.isNull() && total > 0 && done == static_cast<uint32_t>(total)) at_full_bar = grab().toImage();
    last_report = std::chrono::steady_clock::now();
  }
  void EnableJobControls(bool restore_default_enabled) override {
    CVEKDlg::EnableJobControls(restore_default_enabled);
    at_job_end = grab().toImage();
    status_at_job_end = findChild<QLabel*>(QStringLiteral("statusLine"))->text().toStdString();
  }
  bool Showed(const std::string& text) const { return std::find(statuses.begin(), statuses.end(), text) != statuses.end(); }

  std::vector<std::string> statuses;
  std::chrono::steady_clock::time_point last_report = std::chrono::steady_clock::now();
  QImage at_job_end;
  QImage at_full_bar;  // the first transfer that reached 100 %
  std::string status_at_job_end;
};

// A job sends the window thousands of reports, each a hand-over between two
// threads: on a busy machine it takes many times as long as on a quiet one. A
// job is taken as stuck only when it has reported nothing for a long while; the
// last bound, below the test's timeout, only keeps a test from hanging.
constexpr int kFindModuleMs = 60000;
constexpr auto kSilentJobLimit = std::chrono::seconds(60);
constexpr int kJobWaitLimitMs = 480000;

class MainWindowWithModule : public ::testing::Test {
 protected:
  void SetUp() override {
    images_ = folder_.File("images");
    ASSERT_TRUE(sim::WriteImageFolder(images_, vek::PLATFORM_6280, 48 * 1024, 64 * 1024));
    const sim::SimModuleOptions options = vektest::UpgradableModuleOptions(folder_.File("ports"));
    module_ = std::make_unique<sim::SimModule>(options);
    ASSERT_TRUE(module_->Start());
    vek::SetPortMapPath(options.port_map_path);
    diag_port_ = "COM" + std::to_string(module_->ComNumber(sim::SimPortRole::kDiagnostics));

    vek::UseDebugOutput(vek::DebugOutput::kStandardError);
    window_ = std::make_unique<WatchedWindow>(vek::WindowOptions{images_, true});
    window_->show();
    start_ = Control<QPushButton>(*window_, "startButton");
    ASSERT_TRUE(uitest::WaitUntil([&] { return Status() == "ready to download" && start_->isEnabled(); }, kFindModuleMs))
        << Status();
  }
  void TearDown() override {
    window_.reset();
    module_->Stop();
    vek::SetPortMapPath("");
  }

  std::string Status() { return Control<QLabel>(*window_, "statusLine")->text().toStdString(); }
  std::string Text(const char* name) { return Control<QLabel>(*window_, name)->text().toStdString(); }
  bool JobRunning() { return window_->session().JobRunning(); }
  // Runs the window until `reached`, or until the job has been silent too long.
  bool WhileTheJobReports(const std::function<bool()>& reached) {
    uitest::WaitUntil(
        [&] { return reached() || std::chrono::steady_clock::now() - window_->last_report > kSilentJobLimit; },
        kJobWaitLimitMs);
    return reached();
  }
  bool WaitForStage(vek::Stage stage) {
    return WhileTheJobReports([&] { return vek::TheJob().stage.load() == stage; });
  }
  bool WaitForJobEnd() { return WhileTheJobReports([&] { return !JobRunning(); }); }

  uitest::ScratchFolder folder_;
  std::string images_;
  std::unique_ptr<sim::SimModule> module_;
  std::string diag_port_;
  uitest::BoxAnswerer operator_;
  std::unique_ptr<WatchedWindow> window_;
  QPushButton* start_ = nullptr;
};

TEST_F(MainWindowWithModule, ShowsTheModuleItFound) {
  EXPECT_EQ(Control<QComboBox>(*window_, "comportList")->currentText().toStdString(), diag_port_);
  EXPECT_EQ(Control<QComboBox>(*window_, "productList")->currentText(), QStringLiteral("ZX2180"));
  EXPECT_NE(Text("swVersionLabel").find("ZX2180_SIM_V1.0"), std::string::npos) << Text("swVersionLabel");
  EXPECT_NE(Text("imeiLabel").find("356938035643809"), std::string::npos) << Text("imeiLabel");
  EXPECT_EQ(Control<QLineEdit>(*window_, "imagePathEdit")->text().toStdString(), images_);
  EXPECT_EQ(vek::TheJob().platform.load(), vek::PLATFORM_6280);
}

TEST_F(MainWindowWithModule, OneFullJobReportsTheNewVersion) {
  start_->click();
  EXPECT_FALSE(start_->isEnabled());
  ASSERT_TRUE(WaitForJobEnd()) << Status();
  // The version texts keep the blank that follows "Revision:" in the module's answer.
  const std::string report = "update version  ZX2180_SIM_V1.0 to version  ZX2180_SIM_V1.1";
  EXPECT_TRUE(operator_.Saw(report, "OK"));
  for (const uitest::SeenBox& box : operator_.seen()) EXPECT_FALSE(box.owned) << box.text;
  const std::string& final_status = window_->status_at_job_end;
  EXPECT_EQ(final_status.rfind("Ok! ", 0), 0u) << final_status;
  EXPECT_NE(final_status.find(report), std::string::npos) << final_status;
  EXPECT_TRUE(std::filesystem::exists(folder_.File("backup.nvb")));
  EXPECT_NE(uitest::ReadFile(folder_.File("vek.log")).find("Button: cnt="), std::string::npos);

  // The picture of the finished job, for people to look at.
  ASSERT_FALSE(window_->at_job_end.isNull());
  const std::filesystem::path artifacts = std::filesystem::path(vektest::BinaryDir()) / "artifacts";
  std::filesystem::create_directories(artifacts);
  EXPECT_TRUE(window_->at_job_end.save(QString::fromStdString((artifacts / "vek-window.png").string())));
  // The job puts the bar back to 0 % between its steps and at its end; this one
  // shows it full, as the first transfer finished.
  ASSERT_FALSE(window_->at_full_bar.isNull());
  EXPECT_TRUE(window_->at_full_bar.save(QString::fromStdString((artifacts / "vek-window-transfer.png").string())));

  // The module restarts with its new firmware; the window finds it again.
  EXPECT_TRUE(uitest::WaitUntil(
      [&] { return Status() == "ready to download" && Text("swVersionLabel").find("ZX2180_SIM_V1.1") != std::string::npos; },
      kFindModuleMs))
      << Status() << " / " << Text("swVersionLabel");
}

TEST_F(MainWindowWithModule, CloseIsRefusedWhileTheJobRuns) {
  start_->click();
  ASSERT_TRUE(WaitForStage(vek::STAGE_IMAGES));
  EXPECT_FALSE(window_->close());
  EXPECT_TRUE(operator_.Saw("download is doing,can't be closed!", "warning"));
  EXPECT_TRUE(window_->isVisible());
  EXPECT_FALSE(window_->closing());
  ASSERT_TRUE(WaitForJobEnd()) << Status();
  EXPECT_EQ(window_->status_at_job_end.rfind("Ok! ", 0), 0u) << window_->status_at_job_end;
  EXPECT_TRUE(window_->close());
  EXPECT_TRUE(window_->closing());
  EXPECT_FALSE(window_->session().Searching());
}

TEST_F(MainWindowWithModule, APulledCableWhileImagesAreWrittenAbortsTheJob) {
  start_->click();
  ASSERT_TRUE(WaitForStage(vek::STAGE_IMAGES));
  window_->session().OnPortEvent(vek::PortEvent::kRemoval, diag_port_);
  EXPECT_FALSE(JobRunning());
  EXPECT_TRUE(operator_.Saw("usb cable has been removed!", "Error"));
  EXPECT_EQ(window_->statuses.back(), "download failed!");
  EXPECT_TRUE(start_->isEnabled());
  EXPECT_TRUE(Control<QLineEdit>(*window_, "imagePathEdit")->text().isEmpty());
  EXPECT_EQ(vek::TheDevice().download_status.load(), 0);
  EXPECT_EQ(vek::TheJob().stage.load(), vek::STAGE_IDLE);
  EXPECT_NE(uitest::ReadFile(folder_.File("vek.log")).find("usb cable has been removed!\r\n"), std::string::npos);
}

TEST_F(MainWindowWithModule, APortVanishingWhileTheModuleSwitchesModeIsExpected) {
  start_->click();
  ASSERT_TRUE(WaitForStage(vek::STAGE_SWITCH));
  window_->session().OnPortEvent(vek::PortEvent::kRemoval, diag_port_);
  EXPECT_TRUE(JobRunning());
  ASSERT_TRUE(WaitForJobEnd()) << Status();
  EXPECT_EQ(window_->status_at_job_end.rfind("Ok! ", 0), 0u) << window_->status_at_job_end;
  EXPECT_FALSE(operator_.Saw("usb cable has been removed!", "Error"));
}

// The job ends on the window's thread when the cable is pulled; its row is written
// and shipped on the records' own thread, so a silent line keeps no window waiting.
TEST_F(MainWindowWithModule, APulledCableWithASilentLineDatabaseLeavesTheWindowAnswering) {
  vektest::SilentLineDatabase line;
  ASSERT_TRUE(line.listening());
  vek::Session::KeepStationRecord(folder_.File("station.db"), "vek", line.ConnectionString());
  start_->click();
  ASSERT_TRUE(WaitForStage(vek::STAGE_BACKUP));
  const auto pulled = std::chrono::steady_clock::now();
  window_->session().OnPortEvent(vek::PortEvent::kRemoval, diag_port_);
  bool answered = false;
  QTimer::singleShot(0, window_.get(), [&] { answered = true; });
  uitest::WaitUntil([&] { return answered; }, 10000);
  const auto answer_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - pulled).count();
  EXPECT_FALSE(JobRunning());
  RecordProperty("window_answer_ms", static_cast<int>(answer_ms));  // the figure, in the test's XML output
  EXPECT_LT(answer_ms, 100) << "the window answered " << answer_ms << " ms after the cable was pulled";

  ASSERT_TRUE(uitest::WaitUntil([] { return vek::Session::RecordsKept(); }, 60000));
  const vek::JobFacts facts = vek::Session::Facts();
  EXPECT_EQ(facts.record.written, std::optional<bool>(true)) << facts.record.reason;
  EXPECT_EQ(facts.record.shipped, std::optional<bool>(false));
  vek::Session::KeepStationRecord({}, "vek");
}

}  // namespace
