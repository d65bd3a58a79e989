// What the main window's tests share: a scratch working folder, the window's
// controls by name, and an operator that answers message boxes.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "link/port_source.h"
#include "ui/vek_dlg.h"

namespace uitest {

// A fresh working folder for one test ("vek.log", "config.ini" and the backup
// files land there); the previous one is restored afterwards.
class ScratchFolder {
 public:
  ScratchFolder() {
    char pattern[] = "/tmp/vek-ui-test-XXXXXX";
    path_ = mkdtemp(pattern);
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
  }
  ~ScratchFolder() {
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
  std::filesystem::path previous_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <typename T>
T* Control(const QWidget& window, const char* name) {
  T* control = window.findChild<T*>(QString::fromLatin1(name));
  EXPECT_NE(control, nullptr) << name;
  return control;
}

struct SeenBox {
  std::string caption;
  std::string text;
  bool owned = false;  // had an owner window
};

// Plays the operator for message boxes: whenever one is open, it is noted and
// answered with `button`. `before_answer` runs first (to look at the window).
class BoxAnswerer {
 public:
  explicit BoxAnswerer(QMessageBox::StandardButton button = QMessageBox::Ok) : button_(button) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start(5);
  }
  void set_button(QMessageBox::StandardButton button) { button_ = button; }
  void set_before_answer(std::function<void(const SeenBox&)> hook) { before_answer_ = std::move(hook); }
  const std::vector<SeenBox>& seen() const { return seen_; }
  bool Saw(const std::string& text, const std::string& caption) const {
    for (const SeenBox& box : seen_)
      if (box.text == text && box.caption == caption) return true;
    return false;
  }

 private:
  void Poll() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || box->property("vekAnswered").toBool()) return;
    box->setProperty("vekAnswered", true);
    SeenBox seen{box->windowTitle().toStdString(), box->text().toStdString(), box->parentWidget() != nullptr};
    seen_.push_back(seen);
    if (before_answer_) before_answer_(seen);
    QAbstractButton* button = box->button(button_);
    if (button == nullptr) button = box->button(QMessageBox::Ok);
    button->click();
  }

  QMessageBox::StandardButton button_;
  std::function<void(const SeenBox&)> before_answer_;
  QTimer timer_;
  std::vector<SeenBox> seen_;
};

// Runs the window's event loop until `done` holds or `ms` have passed. Unlike
// QTest::qWaitFor it never sleeps with work pending, so a task that sends the
// window thousands of reports is not slowed down.
inline bool WaitUntil(const std::function<bool()>& done, int ms) {
  if (done()) return true;
  QEventLoop loop;
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, [&] {
    if (done()) loop.quit();
  });
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  check.start(2);
  loop.exec();
  return done();
}

// A window without the device search (its handlers and actions alone).
inline vek::WindowOptions WithoutSearch() { return vek::WindowOptions{"", false}; }

}  // namespace uitest
