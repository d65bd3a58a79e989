// The window as the operator first sees it: every control with its text, kind,
// order and state, and a name for screen readers.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "records/job_records.h"
#include "ui/text_progress_ctrl.h"
#include "window_test_support.h"

namespace {

struct Expected {
  const char* name;
  const char* kind;  // class name
  const char* text;  // shown text; nullptr for lists, the field and the bar
};

// In the order the Tab key and the window's table visit them.
const Expected kControls[] = {
    {"heading", "QLabel", "KORVAN 3G Module Software Update Tool"},
    {"comportLabel", "QLabel", "Comport:"},
    {"comportList", "QComboBox", nullptr},
    {"swVersionLabel", "vek::ElidedLabel", "SW version:"},
    {"productLabel", "QLabel", "Product:"},
    {"productList", "vek::ProductComboBox", nullptr},
    {"flashCaption", "QLabel", "FLASH:"},
    {"flashLabel", "QLabel", " "},
    {"imeiLabel", "QLabel", "IMEI:"},
    {"imagePathLabel", "QLabel", "ImagePath:"},
    {"imagePathEdit", "QLineEdit", nullptr},
    {"browseButton", "QPushButton", "Browse..."},
    {"progressLabel", "QLabel", "Progress:"},
    {"progressBar", "vek::CTextProgressCtrl", nullptr},
    {"restoreDefaultCheck", "QCheckBox", "Restore default"},
    {"startButton", "QPushButton", "start"},
    {"statusLine", "QLabel", "Ready"},
};

QString ShownText(const QWidget* control) {
  if (auto* label = qobject_cast<const QLabel*>(control)) return label->text();
  if (auto* button = qobject_cast<const QAbstractButton*>(control)) return button->text();
  return {};
}

class MainWindowAtStart : public ::testing::Test {
 protected:
  uitest::ScratchFolder folder_;
  vek::CVEKDlg window_{uitest::WithoutSearch()};
};

TEST_F(MainWindowAtStart, ShowsEveryControlWithItsTextKindAndOrder) {
  EXPECT_EQ(window_.windowTitle(), QStringLiteral("VEK_V5.1"));
  std::vector<QWidget*> children;
  for (QObject* child : window_.children())
    if (auto* widget = qobject_cast<QWidget*>(child)) children.push_back(widget);
  ASSERT_EQ(children.size(), std::size(kControls));
  for (size_t i = 0; i < children.size(); ++i) {
    const Expected& expected = kControls[i];
    SCOPED_TRACE(expected.name);
    EXPECT_EQ(children[i]->objectName(), QString::fromLatin1(expected.name));
    EXPECT_STREQ(children[i]->metaObject()->className(), expected.kind);
    if (expected.text) {
      EXPECT_EQ(ShownText(children[i]), QString::fromUtf8(expected.text));
    }
  }
}

TEST_F(MainWindowAtStart, OnlyStartWaitsForAModule) {
  for (const Expected& expected : kControls) {
    auto* control = uitest::Control<QWidget>(window_, expected.name);
    EXPECT_EQ(control->isEnabled(), std::string(expected.name) != "startButton") << expected.name;
  }
  EXPECT_FALSE(uitest::Control<QCheckBox>(window_, "restoreDefaultCheck")->isChecked());
  EXPECT_TRUE(uitest::Control<QLineEdit>(window_, "imagePathEdit")->text().isEmpty());
  EXPECT_EQ(uitest::Control<QComboBox>(window_, "comportList")->count(), 0);
  EXPECT_EQ(uitest::Control<QComboBox>(window_, "productList")->count(), 0);
}

TEST_F(MainWindowAtStart, BothListsOnlyOfferTheirEntries) {
  EXPECT_FALSE(uitest::Control<QComboBox>(window_, "comportList")->isEditable());
  EXPECT_FALSE(uitest::Control<QComboBox>(window_, "productList")->isEditable());
  EXPECT_EQ(uitest::Control<QComboBox>(window_, "productList")->lineEdit(), nullptr);
}

TEST_F(MainWindowAtStart, ControlsDoNotOverlapAndFitTheWindow) {
  window_.show();
  std::vector<QWidget*> placed;
  for (const Expected& expected : kControls) placed.push_back(uitest::Control<QWidget>(window_, expected.name));
  for (size_t i = 0; i < placed.size(); ++i) {
    EXPECT_TRUE(window_.rect().contains(placed[i]->geometry())) << kControls[i].name;
    for (size_t j = i + 1; j < placed.size(); ++j)
      EXPECT_FALSE(placed[i]->geometry().intersects(placed[j]->geometry()))
          << kControls[i].name << " overlaps " << kControls[j].name;
  }
}

TEST_F(MainWindowAtStart, EveryControlHasANameForScreenReaders) {
  const std::map<std::string, QString> by_label = {{"comportList", "Comport:"},
                                                   {"productList", "Product:"},
                                                   {"imagePathEdit", "ImagePath:"},
                                                   {"progressBar", "Progress:"},
                                                   {"flashLabel", "FLASH:"}};
  for (const Expected& expected : kControls) {
    auto* control = uitest::Control<QWidget>(window_, expected.name);
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
    ASSERT_NE(accessible, nullptr) << expected.name;
    const QString name = accessible->text(QAccessible::Name);
    const auto labelled = by_label.find(expected.name);
    if (labelled != by_label.end()) {
      EXPECT_EQ(name, labelled->second) << expected.name;
    } else {
      EXPECT_EQ(name, ShownText(control)) << expected.name;
    }
  }
}

TEST_F(MainWindowAtStart, TheJobStartsWithTheWorkingFolderAndTheDefaults) {
  const vek::UpgradeJob& job = vek::TheJob();
  EXPECT_EQ(job.image_path.Get(), folder_.path());
  EXPECT_EQ(job.target_state.load(), vek::TARGET_UNSPECIFIED);
  EXPECT_EQ(job.platform.load(), vek::PLATFORM_NONE);
  EXPECT_EQ(job.restore_default.load(), 0);
  EXPECT_TRUE(std::filesystem::exists(folder_.File("vek.log")));
}

}  // namespace
