// The progress bar that prints its percentage: a filled part in the highlight colour,
// the rest in the base colour, and a centred text whose colour flips where it crosses
// the edge of the filled part, so it stays readable on both. It paints every pixel
// itself, off-screen, and shows the picture with one copy: no flicker when the
// position changes many times a second during an image transfer.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>
#include <cstdint>

namespace vek {

class CTextProgressCtrl : public QWidget {
  Q_OBJECT

 public:
  explicit CTextProgressCtrl(QWidget* parent = nullptr);
  ~CTextProgressCtrl() override;

  // Sets the range; nothing is redrawn until the next position change.
  void SetRange(int32_t lower, int32_t upper);
  // Moves the bar and returns the previous position. Redraws at once, and only when the
  // edge of the filled part moves by a whole pixel or the percentage changes.
  int32_t SetPos(int32_t position);
  // Whether any text is drawn (on after construction).
  void SetShowText(bool show);

  // A text drawn instead of the percentage; an empty text brings the percentage back.
  void setText(const QString& text);
  QString text() const { return custom_text_; }

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QString ShownText() const;

  int32_t position_ = 0;
  int32_t range_max_ = 100;
  int32_t range_min_ = 0;
  QString custom_text_;
  bool show_text_ = true;
  int32_t bar_width_ = -1;  // at the last position change; -1: not measured, redraw next
  int32_t percent_ = -1;    // likewise for the percentage
  // Read from the palette once, at construction: the text over the done part takes
  // the remaining part's colour and the other way round.
  QColor bar_color_;
  QColor background_color_;
  QColor text_color_on_background_;
  QColor text_color_on_bar_;
};

}  // namespace vek
