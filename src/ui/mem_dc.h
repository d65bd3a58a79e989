// An off-screen surface for one paint: the picture is drawn into a pixmap the size of the
// area to repaint and shown on the target by a single copy when the surface is destroyed,
// so the target never shows a half-drawn picture. A printer is drawn on directly.
#pragma once

#include <QPainter>
#include <QPixmap>
#include <QRect>
#include <optional>

namespace vek {

class CMemDC {
 public:
  // `target` paints on the control; `rect` is the area to repaint in the target's
  // coordinates. Drawing through painter() uses the same coordinates, font and pen.
  CMemDC(QPainter& target, const QRect& rect);
  // Copies `rect` from the off-screen pixmap to the same place on the target.
  ~CMemDC();
  CMemDC(const CMemDC&) = delete;
  CMemDC& operator=(const CMemDC&) = delete;

  QPainter& painter() { return is_memory_ ? *offscreen_ : target_; }
  bool is_memory() const { return is_memory_; }

 private:
  QPainter& target_;
  QRect rect_;
  bool is_memory_ = false;
  QPixmap bitmap_;
  std::optional<QPainter> offscreen_;
};

}  // namespace vek
