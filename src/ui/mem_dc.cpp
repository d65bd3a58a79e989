#include "ui/mem_dc.h"

#include <QPaintDevice>
#include <QtMath>

namespace vek {

CMemDC::CMemDC(QPainter& target, const QRect& rect) : target_(target), rect_(rect) {
  const QPaintDevice* device = target.device();
  // A printer has no pixels to flicker; an empty area has nothing to buffer.
  if (device == nullptr || device->devType() == QInternal::Printer || rect.isEmpty()) return;
  is_memory_ = true;

  // Sized in device pixels so text stays as sharp as when drawn on the target.
  const qreal ratio = device->devicePixelRatio();
  bitmap_ = QPixmap(qCeil(rect.width() * ratio), qCeil(rect.height() * ratio));
  bitmap_.setDevicePixelRatio(ratio);

  offscreen_.emplace(&bitmap_);
  offscreen_->setFont(target.font());
  offscreen_->setPen(target.pen());
  offscreen_->setBrush(target.brush());
  offscreen_->setLayoutDirection(target.layoutDirection());
  offscreen_->setRenderHints(target.renderHints());
  offscreen_->translate(-rect.topLeft());
}

CMemDC::~CMemDC() {
  if (!is_memory_) return;
  offscreen_->end();
  target_.drawPixmap(rect_.topLeft(), bitmap_);
}

}  // namespace vek
