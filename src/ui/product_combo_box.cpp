#include "ui/product_combo_box.h"

#include <QFocusEvent>

namespace vek {

void ProductComboBox::showPopup() {
  emit aboutToShowPopup();
  QComboBox::showPopup();
}

void ProductComboBox::focusOutEvent(QFocusEvent* event) {
  QComboBox::focusOutEvent(event);
  // Opening the list, switching windows and a message box taking the focus are
  // not the operator leaving the list; reacting to them would open box after box.
  const Qt::FocusReason reason = event->reason();
  if (reason == Qt::PopupFocusReason || reason == Qt::ActiveWindowFocusReason) return;
  emit leftByOperator();
}

}  // namespace vek
