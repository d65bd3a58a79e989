// The Product list: a pure drop-down list that tells the window when it is about
// to open (so the window can refill it in a download mode) and when the operator
// leaves it (so the window can take the choice).
#pragma once

#include <QComboBox>

namespace vek {

class ProductComboBox : public QComboBox {
  Q_OBJECT

 public:
  explicit ProductComboBox(QWidget* parent = nullptr) : QComboBox(parent) {}

  void showPopup() override;

 signals:
  void aboutToShowPopup();
  // The keyboard focus went to another control (not to the list's own popup,
  // nor away with the whole window, nor to a message box).
  void leftByOperator();

 protected:
  void focusOutEvent(QFocusEvent* event) override;
};

}  // namespace vek
