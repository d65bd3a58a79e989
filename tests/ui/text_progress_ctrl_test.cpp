#include "ui/text_progress_ctrl.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>
#include <QImage>
#include <QPainter>
#include <QPalette>
#include <vector>

namespace {

struct Colours {
  QColor bar;         // highlight: the done part, and the text over the rest
  QColor background;  // base: the rest, and the text over the done part
};

Colours PaletteColours() {
  const QPalette palette = QApplication::palette();
  return {palette.color(QPalette::Active, QPalette::Highlight),
          palette.color(QPalette::Active, QPalette::Base)};
}

// What a picture of the bar holds, pixel by pixel, for an edge of the filled part.
struct Ink {
  std::vector<bool> mask;  // where text is, row by row
  int on_bar = 0;          // text pixels left of the edge (base colour)
  int on_background = 0;   // text pixels right of it (highlight colour)
  int stray = 0;           // pixels in neither colour allowed on their side
};

Ink InkOf(const QImage& image, int edge, const Colours& colours) {
  Ink ink;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const bool done = x < edge;
      const QColor pixel = image.pixelColor(x, y);
      const bool fill = pixel == (done ? colours.bar : colours.background);
      const bool text = pixel == (done ? colours.background : colours.bar);
      ink.mask.push_back(text);
      if (text) ++(done ? ink.on_bar : ink.on_background);
      if (!fill && !text) ++ink.stray;
    }
  }
  return ink;
}

// Where `text` puts ink when drawn alone, centred in a box of `size`.
std::vector<bool> ReferenceInk(const QFont& font, QSize size, const QString& text) {
  QImage image(size, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter painter(&image);
  painter.setFont(font);
  painter.setPen(Qt::black);
  painter.drawText(image.rect(), Qt::AlignCenter | Qt::TextSingleLine, text);
  painter.end();
  std::vector<bool> mask;
  for (int y = 0; y < size.height(); ++y)
    for (int x = 0; x < size.width(); ++x) mask.push_back(image.pixelColor(x, y) != Qt::white);
  return mask;
}

class PaintCounter : public QObject {
 public:
  int paints = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

class TextProgressBar : public ::testing::Test {
 protected:
  void SetUp() override {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(14);
    font.setStyleStrategy(QFont::NoAntialias);  // every text pixel is exactly the text colour
    bar.setFont(font);
    bar.resize(470, 24);
    bar.SetRange(0, 100);
    ASSERT_NE(colours.bar, colours.background);
    // Without a real font every character is the same box and texts cannot be told apart.
    ASSERT_NE(ReferenceInk(font, {60, 24}, "33%"), ReferenceInk(font, {60, 24}, "34%"));
  }

  // Grabs the bar and checks it shows the filled part up to `edge` and reads `text`,
  // each pixel in a colour allowed on its side of the edge.
  Ink ExpectPicture(int edge, const QString& text) {
    const QImage image = bar.grab().toImage();
    EXPECT_EQ(image.size(), bar.size());
    int wrong_fill = 0;  // the top row holds no text: the bar alone
    for (int x = 0; x < image.width(); ++x)
      wrong_fill += image.pixelColor(x, 0) != (x < edge ? colours.bar : colours.background);
    EXPECT_EQ(wrong_fill, 0) << "filled part is not " << edge << " px wide";
    Ink ink = InkOf(image, edge, colours);
    EXPECT_EQ(ink.stray, 0);
    EXPECT_TRUE(ink.mask == ReferenceInk(bar.font(), bar.size(), text))
        << "the text does not read \"" << text.toStdString() << "\"";
    return ink;
  }

  const Colours colours = PaletteColours();
  vek::CTextProgressCtrl bar;
};

TEST_F(TextProgressBar, HalfwayFillsHalfTheWidthAndTheTextFlipsColourAtTheEdge) {
  bar.SetPos(50);
  const Ink ink = ExpectPicture(bar.width() / 2, "50%");
  EXPECT_EQ(bar.width() / 2, 235);
  EXPECT_GT(ink.on_bar, 0);
  EXPECT_GT(ink.on_background, 0);
}

TEST_F(TextProgressBar, PercentageAndFilledWidthAreTruncatedNotRounded) {
  bar.resize(100, 24);
  struct Case { int lower, upper, position; const char* text; };
  // 29, 57 and 58 of 100 are where dividing first would give 28.999…, 56.999…, 57.999….
  const Case cases[] = {{0, 3, 1, "33%"},    {0, 3, 2, "66%"},    {0, 100, 33, "33%"},
                        {0, 100, 29, "29%"}, {0, 100, 57, "57%"}, {0, 100, 58, "58%"},
                        {-50, 50, 0, "50%"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    bar.SetRange(c.lower, c.upper);
    bar.SetPos(c.position);
    ExpectPicture(bar.width() * (c.position - c.lower) / (c.upper - c.lower), c.text);
  }
}

TEST_F(TextProgressBar, FullAndEmptyBarsShowTheTextInOneColour) {
  bar.SetPos(100);
  Ink ink = ExpectPicture(bar.width(), "100%");
  EXPECT_GT(ink.on_bar, 0);
  EXPECT_EQ(ink.on_background, 0);

  bar.SetPos(0);
  ink = ExpectPicture(0, "0%");
  EXPECT_EQ(ink.on_bar, 0);
  EXPECT_GT(ink.on_background, 0);
}

TEST_F(TextProgressBar, PositionsOutsideTheRangePinToItsEnds) {
  bar.SetPos(250);
  ExpectPicture(bar.width(), "100%");
  bar.SetPos(-7);
  ExpectPicture(0, "0%");
}

TEST_F(TextProgressBar, CustomTextReplacesThePercentageAndACutCharacterShowsBothHalves) {
  bar.setText("0");
  EXPECT_EQ(bar.text(), "0");
  bar.SetRange(0, bar.width());
  bar.SetPos(bar.width() / 2);  // the edge runs through the middle of the centred "0"
  const Ink ink = ExpectPicture(bar.width() / 2, "0");
  EXPECT_GT(ink.on_bar, 0);
  EXPECT_GT(ink.on_background, 0);

  bar.setText("");
  ExpectPicture(bar.width() / 2, "50%");
  bar.SetShowText(false);
  ExpectPicture(bar.width() / 2, "");
}

TEST_F(TextProgressBar, KeepsTheColoursReadAtConstruction) {
  QPalette changed = bar.palette();
  changed.setColor(QPalette::Highlight, Qt::red);
  changed.setColor(QPalette::Base, Qt::green);
  bar.setPalette(changed);
  bar.SetPos(50);
  ExpectPicture(bar.width() / 2, "50%");
}

TEST_F(TextProgressBar, EmptyOrInvertedRangePaintsNothing) {
  const QColor untouched(Qt::magenta);
  for (const auto& [lower, upper] : {std::pair{5, 5}, std::pair{7, 3}}) {
    bar.SetRange(lower, upper);
    bar.SetPos(5);
    EXPECT_EQ(bar.SetPos(5), 5) << "the position is still kept";
    QImage canvas(bar.size(), QImage::Format_RGB32);
    canvas.fill(untouched);
    bar.render(&canvas, QPoint(), QRegion(), QWidget::RenderFlags());
    int painted = 0;
    for (int y = 0; y < canvas.height(); ++y)
      for (int x = 0; x < canvas.width(); ++x) painted += canvas.pixelColor(x, y) != untouched;
    EXPECT_EQ(painted, 0) << "range " << lower << "-" << upper;
  }
}

TEST_F(TextProgressBar, RedrawsOnlyWhenTheEdgeOrTheTextChanges) {
  PaintCounter counter;
  bar.installEventFilter(&counter);
  bar.show();
  QApplication::processEvents();
  ASSERT_GT(counter.paints, 0) << "the shown bar is never painted";

  bar.SetRange(0, 1000);
  counter.paints = 0;
  EXPECT_EQ(bar.SetPos(500), 0);
  EXPECT_EQ(counter.paints, 1) << "first position";
  EXPECT_EQ(bar.SetPos(501), 500);
  bar.SetPos(502);  // 235.47 and 235.94 px: the edge stays at 235 and the text at 50%
  EXPECT_EQ(counter.paints, 1) << "within the same pixel";
  bar.SetPos(503);  // 236.41 px
  EXPECT_EQ(counter.paints, 2) << "edge moved a pixel";

  // 503 of 1000 on 471 px is 236.91: the same pixel, yet a resize measures afresh.
  bar.resize(471, 24);
  QApplication::processEvents();
  counter.paints = 0;
  bar.SetPos(503);
  EXPECT_EQ(counter.paints, 1) << "first position after a resize";

  // On a narrow bar the percentage can change while the edge stays put.
  bar.resize(50, 24);
  bar.SetRange(0, 100);
  bar.SetPos(50);  // 25 px
  QApplication::processEvents();
  counter.paints = 0;
  bar.SetPos(51);  // 25.5 px, 51%
  EXPECT_EQ(counter.paints, 1) << "percentage changed";

  bar.setText("writing");
  bar.setText("writing");
  QApplication::processEvents();
  EXPECT_EQ(counter.paints, 2) << "a new text, then the same text";
}

}  // namespace
