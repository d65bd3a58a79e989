// A static text that cuts what does not fit with an ellipsis at the end (the
// software-version label: module revisions can be long). text() keeps it whole,
// so assistive tools read all of it.
#pragma once

#include <QLabel>

namespace vek {

class ElidedLabel : public QLabel {
  Q_OBJECT

 public:
  using QLabel::QLabel;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace vek
