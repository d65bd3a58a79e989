// The window's answers to what the tasks report, and the operator's actions
// that need no module: product matching, the download-mode product list, the
// start counter, control states, message boxes from a worker and closing.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <atomic>
#include <thread>

#include "app/log_file.h"
#include "records/job_records.h"
#include "ui/text_progress_ctrl.h"
#include "upgrade/start_button.h"
#include "window_test_support.h"

namespace {

using uitest::Control;

class MainWindowHandlers : public ::testing::Test {
 protected:
  void SetUp() override { window_.show(); }
  QComboBox* products() { return Control<QComboBox>(window_, "productList"); }
  std::string Log() { return uitest::ReadFile(folder_.File("vek.log")); }
  void LeaveProductList(Qt::FocusReason reason) {
    QFocusEvent left(QEvent::FocusOut, reason);
    QApplication::sendEvent(products(), &left);
  }
  std::vector<std::string> ProductNames() {
    std::vector<std::string> names;
    for (int i = 0; i < products()->count(); ++i) names.push_back(products()->itemText(i).toStdString());
    return names;
  }

  uitest::ScratchFolder folder_;
  vek::CVEKDlg window_{uitest::WithoutSearch()};
  uitest::BoxAnswerer operator_;
};

TEST_F(MainWindowHandlers, ProductMatchingListsTheNamedModelAndSetsItsPlatform) {
  window_.MatchProduct("Revision: ZX4410QRA_V1.2");
  EXPECT_EQ(ProductNames(), std::vector<std::string>{"ZX4410"});
  EXPECT_EQ(products()->currentIndex(), 0);
  EXPECT_EQ(vek::TheJob().platform.load(), vek::PLATFORM_6270);

  window_.MatchProduct("ZX2180_SIM_V1.0");
  EXPECT_EQ(ProductNames(), std::vector<std::string>{"ZX2180"});
  EXPECT_EQ(vek::TheJob().platform.load(), vek::PLATFORM_6280);
  EXPECT_TRUE(products()->isEnabled());
}

TEST_F(MainWindowHandlers, SeveralMatchesAreAllListedThePlatformFollowsTheLast) {
  window_.MatchProduct("ZX2100 or ZX7210");
  EXPECT_EQ(ProductNames(), (std::vector<std::string>{"ZX2100", "ZX7210"}));
  EXPECT_EQ(products()->currentText(), QStringLiteral("ZX2100"));
  EXPECT_EQ(vek::TheJob().platform.load(), vek::PLATFORM_60X5);
}

TEST_F(MainWindowHandlers, AnUnsupportedModuleDisablesTheListAndIsLogged) {
  window_.MatchProduct("SM100_V1.0.0");
  EXPECT_EQ(products()->count(), 0);
  EXPECT_FALSE(products()->isEnabled());
  EXPECT_NE(Log().find("Error: this product not be supported!!!\r\n"), std::string::npos);
  EXPECT_TRUE(operator_.seen().empty());  // logged only
}

TEST_F(MainWindowHandlers, InDownloadModeTheListOffersAllModelsAndTakesTheChoiceOnLeaving) {
  window_.MatchProduct("ZX2180");
  vek::TheJob().target_state = vek::TARGET_DOWNLOAD;
  products()->showPopup();
  products()->hidePopup();
  EXPECT_EQ(ProductNames().size(), 9u);
  EXPECT_EQ(ProductNames().front(), "ZX2100");
  EXPECT_EQ(ProductNames().back(), "TZ4410");
  EXPECT_EQ(products()->currentIndex(), -1);

  LeaveProductList(Qt::TabFocusReason);  // nothing chosen yet
  EXPECT_TRUE(operator_.Saw("please choose the project!", "Error"));
  EXPECT_EQ(vek::TheJob().platform.load(), vek::PLATFORM_6280);

  products()->setCurrentIndex(6);
  LeaveProductList(Qt::MouseFocusReason);
  EXPECT_EQ(vek::TheJob().platform.load(), vek::PLATFORM_60X5);
  EXPECT_EQ(operator_.seen().size(), 1u);
}

TEST_F(MainWindowHandlers, OpeningTheListOrABoxOrClosingIsNotLeavingIt) {
  vek::TheJob().target_state = vek::TARGET_DOWNLOAD;
  LeaveProductList(Qt::PopupFocusReason);
  LeaveProductList(Qt::ActiveWindowFocusReason);
  window_.close();
  LeaveProductList(Qt::OtherFocusReason);
  EXPECT_TRUE(operator_.seen().empty());
}

TEST_F(MainWindowHandlers, WithANormalModuleTheListKeepsTheMatchedModel) {
  window_.MatchProduct("ZX2180");
  vek::TheJob().target_state = vek::TARGET_DIAG;
  products()->showPopup();
  products()->hidePopup();
  EXPECT_EQ(ProductNames(), std::vector<std::string>{"ZX2180"});
  LeaveProductList(Qt::TabFocusReason);
  EXPECT_TRUE(operator_.seen().empty());
}

TEST_F(MainWindowHandlers, StartInDownloadModeWithoutAProductStartsNothing) {
  vek::TheJob().target_state = vek::TARGET_DOWNLOAD;
  auto* start = Control<QPushButton>(window_, "startButton");
  window_.SetControls(vek::ControlState::kReady);
  start->click();
  EXPECT_TRUE(operator_.Saw("please choose the project!", "Error"));
  EXPECT_NE(Log().find("Button: please choose the project!!!\r\n"), std::string::npos);
  EXPECT_FALSE(window_.session().JobRunning());
  EXPECT_TRUE(start->isEnabled());  // nothing else changes
  EXPECT_TRUE(Control<QLineEdit>(window_, "imagePathEdit")->isEnabled());
}

TEST_F(MainWindowHandlers, EveryPressAfterTheFirstStartsAFreshLog) {
  vek::TheJob().target_state = vek::TARGET_DOWNLOAD;  // each press is refused: no product
  window_.SetControls(vek::ControlState::kReady);
  auto* start = Control<QPushButton>(window_, "startButton");
  vek::TheJob().write_log("before the press");
  const int before = vek::StartCount();
  start->click();
  const std::string first = "Button: cnt=" + std::to_string(before + 1) + "\r\n";
  EXPECT_NE(Log().find(first), std::string::npos);
  // A refused press counts too: the next one truncates the log.
  start->click();
  const std::string second = "Button: cnt=" + std::to_string(before + 2) + "\r\n";
  EXPECT_EQ(Log().rfind(second, 0), 0u) << Log();
  EXPECT_EQ(Log().find(first), std::string::npos);
  EXPECT_EQ(Log().find("before the press"), std::string::npos);
}

TEST_F(MainWindowHandlers, ControlStatesFollowTheDeviceSearch) {
  auto* start = Control<QPushButton>(window_, "startButton");
  auto* path = Control<QLineEdit>(window_, "imagePathEdit");
  auto* browse = Control<QPushButton>(window_, "browseButton");
  auto* restore = Control<QCheckBox>(window_, "restoreDefaultCheck");
  auto* ports = Control<QComboBox>(window_, "comportList");
  auto enabled = [&] {
    return std::vector<bool>{start->isEnabled(), path->isEnabled(), browse->isEnabled(), restore->isEnabled()};
  };

  window_.SetControls(vek::ControlState::kSearching);
  EXPECT_EQ(enabled(), (std::vector<bool>{false, false, false, false}));
  EXPECT_TRUE(ports->isEnabled() && products()->isEnabled());  // the lists are left alone

  window_.SetControls(vek::ControlState::kReady);
  EXPECT_EQ(enabled(), (std::vector<bool>{true, true, true, true}));

  restore->click();
  EXPECT_EQ(vek::TheJob().restore_default.load(), 1);
  window_.SetControls(vek::ControlState::kDownloadMode);
  EXPECT_EQ(enabled(), (std::vector<bool>{true, true, true, false}));
  EXPECT_FALSE(restore->isChecked());
  EXPECT_EQ(vek::TheJob().restore_default.load(), 0);

  vek::TheDevice().special_model = 1;  // this model keeps its settings: no "Restore default"
  window_.SetControls(vek::ControlState::kReady);
  vek::TheDevice().special_model = 0;
  EXPECT_EQ(enabled(), (std::vector<bool>{true, true, true, false}));
}

TEST_F(MainWindowHandlers, ReportsReachTheirControls) {
  window_.ShowDiagPort(7);
  window_.ShowDiagPort(12);
  auto* ports = Control<QComboBox>(window_, "comportList");
  EXPECT_EQ(ports->count(), 1);
  EXPECT_EQ(ports->currentText(), QStringLiteral("COM12"));

  window_.ShowStatus("ready to download\r\n");
  EXPECT_EQ(Control<QLabel>(window_, "statusLine")->text(), QStringLiteral("ready to download"));
  window_.ShowSwVersion("SW version:ZX2180_SIM_V1.0");
  window_.ShowImei("IMEI:356938035643809");
  window_.ShowFlash("ZX2180");
  EXPECT_EQ(Control<QLabel>(window_, "swVersionLabel")->text(), QStringLiteral("SW version:ZX2180_SIM_V1.0"));
  EXPECT_EQ(Control<QLabel>(window_, "imeiLabel")->text(), QStringLiteral("IMEI:356938035643809"));
  EXPECT_EQ(Control<QLabel>(window_, "flashLabel")->text(), QStringLiteral("ZX2180"));

  auto* bar = Control<vek::CTextProgressCtrl>(window_, "progressBar");
  window_.ShowProgress(1, 3);
  EXPECT_EQ(bar->SetPos(0), 33);
  window_.ShowProgress(50, 100);
  EXPECT_EQ(bar->SetPos(0), 50);

  window_.CheckRestoreDefault(true);
  EXPECT_TRUE(Control<QCheckBox>(window_, "restoreDefaultCheck")->isChecked());
  EXPECT_EQ(vek::TheJob().restore_default.load(), 1);

  window_.ClearDeviceControls();
  EXPECT_EQ(ports->count(), 0);
  EXPECT_EQ(Control<QLabel>(window_, "swVersionLabel")->text(), QStringLiteral("SW version:"));
  EXPECT_EQ(Control<QLabel>(window_, "imeiLabel")->text(), QStringLiteral("IMEI:"));
  EXPECT_TRUE(Control<QLabel>(window_, "flashLabel")->text().isEmpty());
}

// A worker asks the operator; the box belongs to no window, its answer goes
// back to the worker, and the main window keeps painting what others report.
TEST_F(MainWindowHandlers, AWorkersMessageBoxLeavesTheWindowPainting) {
  window_.show();
  auto* bar = Control<vek::CTextProgressCtrl>(window_, "progressBar");
  struct PaintCounter : QObject {
    std::atomic<int> paints{0};
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Paint) ++paints;
      return false;
    }
  } counter;
  bar->installEventFilter(&counter);

  std::atomic<int> answer{-1};
  std::atomic<bool> progress_shown{false};
  std::atomic<bool> box_seen{false};
  operator_.set_button(QMessageBox::Cancel);
  operator_.set_before_answer([&](const uitest::SeenBox&) {
    box_seen = true;
    // With the box open, another task reports progress and the bar repaints.
    const int paints_before = counter.paints;
    std::thread reporter([&] {
      window_.session().window().ShowProgress(2, 3);
      progress_shown = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return progress_shown.load() && counter.paints > paints_before; }, 5000));
    reporter.join();
  });
  std::thread worker([&] { answer = window_.session().window().ShowMessage(2, "erase the whole flash?", "warning"); });
  EXPECT_TRUE(QTest::qWaitFor([&] { return answer.load() != -1; }, 5000));
  worker.join();
  ASSERT_TRUE(box_seen);
  EXPECT_EQ(answer.load(), 0);  // Cancel
  EXPECT_EQ(bar->SetPos(0), 66);
  ASSERT_EQ(operator_.seen().size(), 1u);
  EXPECT_EQ(operator_.seen()[0].caption, "warning");
  EXPECT_EQ(operator_.seen()[0].text, "erase the whole flash?");
  EXPECT_FALSE(operator_.seen()[0].owned);

  operator_.set_button(QMessageBox::Ok);
  operator_.set_before_answer(nullptr);
  answer = -1;
  std::thread second([&] { answer = window_.session().window().ShowMessage(2, "erase the whole flash?", "warning"); });
  EXPECT_TRUE(QTest::qWaitFor([&] { return answer.load() != -1; }, 5000));
  second.join();
  EXPECT_EQ(answer.load(), 1);  // OK
}

TEST_F(MainWindowHandlers, ClosingWithoutAJobEndsTheWindow) {
  window_.show();
  EXPECT_TRUE(window_.close());
  EXPECT_TRUE(window_.closing());
  EXPECT_FALSE(window_.isVisible());
  EXPECT_TRUE(operator_.seen().empty());
}

}  // namespace
