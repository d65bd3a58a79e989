#include "ui/text_progress_ctrl.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPalette>
#include <QResizeEvent>

#include "ui/mem_dc.h"

namespace vek {
namespace {

constexpr const char* kPercentFormat = "%d%%";
constexpr int kTextFlags = Qt::AlignCenter | Qt::TextSingleLine;

// `span` × (position − lower) ÷ (upper − lower), truncated toward zero. The product comes
// first so whole results stay whole (29 of 0–100 is 29 %, not 28.999…). Positions
// outside the range pin to its ends; an empty or inverted range counts as nothing done.
int32_t ShareOf(int32_t span, int32_t position, int32_t lower, int32_t upper) {
  if (lower >= upper || position <= lower) return 0;
  if (position >= upper) return span;
  const double done = static_cast<double>(position) - lower;
  const double whole = static_cast<double>(upper) - lower;
  return static_cast<int32_t>(static_cast<double>(span) * done / whole);
}

}  // namespace

CTextProgressCtrl::CTextProgressCtrl(QWidget* parent) : QWidget(parent) {
  const QPalette& colours = palette();
  bar_color_ = colours.color(QPalette::Active, QPalette::Highlight);
  background_color_ = colours.color(QPalette::Active, QPalette::Base);
  text_color_on_background_ = bar_color_;
  text_color_on_bar_ = background_color_;
  // Every pixel is painted here, so Qt need not clear the area first.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

CTextProgressCtrl::~CTextProgressCtrl() = default;

void CTextProgressCtrl::SetRange(int32_t lower, int32_t upper) {
  range_min_ = lower;
  range_max_ = upper;
}

int32_t CTextProgressCtrl::SetPos(int32_t position) {
  const int32_t previous = position_;
  position_ = position;
  const int32_t bar_width = ShareOf(width(), position_, range_min_, range_max_);
  const int32_t percent = ShareOf(100, position_, range_min_, range_max_);
  if (bar_width != bar_width_ || percent != percent_) {
    bar_width_ = bar_width;
    percent_ = percent;
    repaint();
  }
  return previous;
}

void CTextProgressCtrl::SetShowText(bool show) {
  if (show == show_text_) return;
  show_text_ = show;
  update();
}

void CTextProgressCtrl::setText(const QString& text) {
  if (text == custom_text_) return;
  custom_text_ = text;
  update();
}

QSize CTextProgressCtrl::sizeHint() const {
  const QFontMetrics metrics = fontMetrics();
  return {metrics.horizontalAdvance(QStringLiteral("100%")) * 4, metrics.height() + 4};
}

QString CTextProgressCtrl::ShownText() const {
  if (!custom_text_.isEmpty()) return custom_text_;
  return QString::asprintf(kPercentFormat, ShareOf(100, position_, range_min_, range_max_));
}

void CTextProgressCtrl::paintEvent(QPaintEvent* event) {
  // An empty range has nothing to show.
  if (range_min_ >= range_max_) return;

  const QRect whole = rect();
  const int32_t edge = whole.left() + ShareOf(whole.width(), position_, range_min_, range_max_);
  const QRect done(whole.left(), whole.top(), edge - whole.left(), whole.height());
  const QRect remaining(edge, whole.top(), whole.right() + 1 - edge, whole.height());

  QPainter target(this);
  CMemDC surface(target, event->rect());
  QPainter& dc = surface.painter();
  dc.fillRect(done, bar_color_);
  dc.fillRect(remaining, background_color_);
  if (!show_text_) return;

  // The same text twice at the same place under complementary clips: a character cut by
  // the edge shows its two halves in the two colours.
  const QString text = ShownText();
  dc.setClipRect(done);
  dc.setPen(text_color_on_bar_);
  dc.drawText(whole, kTextFlags, text);
  dc.setClipRect(remaining);
  dc.setPen(text_color_on_background_);
  dc.drawText(whole, kTextFlags, text);
}

void CTextProgressCtrl::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  bar_width_ = -1;
  percent_ = -1;
}

}  // namespace vek
