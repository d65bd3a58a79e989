#include "ui/message_box.h"

#include <QMessageBox>

#include "records/window_notifications.h"

namespace vek {
namespace {

// The captions are "Error", "error!", "Error!!!", "warning" and "OK".
QMessageBox::Icon IconOf(int kind, const std::string& caption) {
  if (kind == kMessageOkCancel) return QMessageBox::Question;
  if (caption.find("rror") != std::string::npos) return QMessageBox::Critical;
  if (caption == "warning") return QMessageBox::Warning;
  return QMessageBox::Information;
}

}  // namespace

int ShowMessageBox(int kind, const std::string& text, const std::string& caption) {
  if (kind != kMessageOk && kind != kMessageOkCancel) return 0;
  QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption), QString::fromStdString(text),
                  kind == kMessageOk ? QMessageBox::Ok : QMessageBox::Ok | QMessageBox::Cancel);
  box.setIcon(IconOf(kind, caption));
  // Screen readers announce the caption and read the text.
  box.setAccessibleName(QString::fromStdString(caption));
  box.setAccessibleDescription(QString::fromStdString(text));
  const int answer = box.exec();
  if (kind == kMessageOk) return 1;
  return answer == QMessageBox::Ok ? 1 : 0;
}

}  // namespace vek
