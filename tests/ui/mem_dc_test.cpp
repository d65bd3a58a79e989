#include "ui/mem_dc.h"

#include <gtest/gtest.h>

#include <QImage>

namespace {

TEST(MemDC, ShowsItsAreaInOneCopyAtTheEndAndLeavesTheRestAlone) {
  QImage target_image(60, 40, QImage::Format_RGB32);
  target_image.fill(Qt::white);
  QPainter target(&target_image);
  const QRect area(10, 5, 20, 15);
  {
    vek::CMemDC surface(target, area);
    ASSERT_TRUE(surface.is_memory());
    // Drawn in the target's coordinates, past the area on every side.
    surface.painter().fillRect(QRect(0, 0, 60, 40), Qt::red);
    surface.painter().fillRect(QRect(area.topLeft(), QSize(1, 1)), Qt::blue);
    EXPECT_EQ(target_image.pixelColor(15, 10), QColor(Qt::white)) << "drawn before the copy";
  }
  target.end();
  EXPECT_EQ(target_image.pixelColor(area.topLeft()), QColor(Qt::blue));
  EXPECT_EQ(target_image.pixelColor(area.bottomRight()), QColor(Qt::red));
  EXPECT_EQ(target_image.pixelColor(area.left() - 1, area.top()), QColor(Qt::white));
  EXPECT_EQ(target_image.pixelColor(area.right() + 1, area.bottom()), QColor(Qt::white));
  EXPECT_EQ(target_image.pixelColor(area.left(), area.bottom() + 1), QColor(Qt::white));
}

}  // namespace
