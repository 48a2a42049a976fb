// The preview pane driven with the mouse as a user would: the area it reports in millimetres
// must follow the drags, stay on the glass and be signalled only when the user changed it.
#include "scanner/ui/preview_pane.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>
#include <cmath>
#include <vector>

namespace {

using scanner::PreviewPane;

const QRectF kGlass(0, 0, 200, 300);
constexpr double kToleranceMm = 1.0;  // mouse positions are whole pixels (0.8 mm here)

QRectF Mm(double left, double top, double right, double bottom) {
  return QRectF(QPointF(left, top), QPointF(right, bottom));
}

::testing::AssertionResult Near(const QRectF& actual, const QRectF& expected) {
  const double d = std::max(
      {std::abs(actual.left() - expected.left()), std::abs(actual.top() - expected.top()),
       std::abs(actual.right() - expected.right()), std::abs(actual.bottom() - expected.bottom())});
  if (d <= kToleranceMm && actual.isNull() == expected.isNull())
    return ::testing::AssertionSuccess();
  const auto text = [](const QRectF& r) {
    return QString("(%1,%2)-(%3,%4)").arg(r.left()).arg(r.top()).arg(r.right()).arg(r.bottom());
  };
  return ::testing::AssertionFailure()
         << "area " << text(actual).toStdString() << ", expected " << text(expected).toStdString();
}

class PaneTest : public ::testing::Test {
 protected:
  PaneTest() {
    pane_.resize(300, 400);
    pane_.setGlass(kGlass);
    pane_.show();
  }

  // Where a point of the glass is on the screen, from the frame the pane draws the glass in.
  QPoint At(QPointF mm) const {
    const QRectF frame = pane_.glassFrame();
    return QPointF(frame.left() + mm.x() / kGlass.width() * frame.width(),
                   frame.top() + mm.y() / kGlass.height() * frame.height())
        .toPoint();
  }

  void Drag(QPointF from, QPointF to) {
    QTest::mousePress(&pane_, Qt::LeftButton, {}, At(from));
    QTest::mouseMove(&pane_, At((from + to) / 2));
    QTest::mouseMove(&pane_, At(to));
    QTest::mouseRelease(&pane_, Qt::LeftButton, {}, At(to));
  }

  PreviewPane pane_;
};

TEST_F(PaneTest, DrawsTheGlassAtItsProportionsInsideThePane) {
  const QRectF frame = pane_.glassFrame();
  EXPECT_NEAR(frame.width() / frame.height(), kGlass.width() / kGlass.height(), 1e-6);
  EXPECT_TRUE(QRectF(pane_.rect()).contains(frame));
  EXPECT_GT(frame.height(), 0.9 * pane_.height());  // it fills the pane's height
  pane_.setImage(QImage(100, 50, QImage::Format_RGB888));
  EXPECT_NEAR(pane_.glassFrame().width() / pane_.glassFrame().height(), 2.0, 1e-6);
}

TEST_F(PaneTest, SetAreaClampsToTheGlassWithoutSignal) {
  QSignalSpy spy(&pane_, &PreviewPane::areaChanged);
  pane_.setArea(Mm(250, 100, -10, 20));
  EXPECT_TRUE(Near(pane_.area(), Mm(0, 20, 200, 100)));
  EXPECT_EQ(spy.count(), 0);
}

TEST_F(PaneTest, OutsideTheAreaIsDimmed) {
  pane_.setArea(Mm(50, 50, 150, 250));
  const QImage shot = pane_.grab().toImage();
  const int inside = qGray(shot.pixel(At({100, 150})));
  const int outside = qGray(shot.pixel(At({20, 20})));
  EXPECT_GT(inside, 200);
  EXPECT_LT(outside, inside - 40);
  // A device without an area: the preview as it is.
  pane_.setAreaEnabled(false);
  EXPECT_EQ(qGray(pane_.grab().toImage().pixel(At({20, 20}))), inside);
}

struct DragCase {
  const char* name;
  bool areaEnabled;
  QRectF start;  // null: no area yet
  QPointF from, to;
  QRectF expected;
};

void PrintTo(const DragCase& c, std::ostream* out) {
  *out << c.name;
}

const QRectF kSome = Mm(20, 30, 100, 150);
const DragCase kDrags[] = {
    {"DrawOnNothing", true, {}, {20, 30}, {100, 150}, kSome},
    {"DrawBackwards", true, {}, {100, 150}, {20, 30}, kSome},
    {"DrawOutsideTheArea", true, Mm(120, 200, 180, 280), {20, 30}, {100, 150}, kSome},
    {"DrawOnTheWholeGlass", true, kGlass, {50, 60}, {110, 120}, Mm(50, 60, 110, 120)},
    {"DrawOn96Percent", true, Mm(0, 5, 200, 295), {50, 60}, {110, 120}, Mm(50, 60, 110, 120)},
    {"DrawPastTheGlass", true, {}, {150, 250}, {260, 340}, Mm(150, 250, 200, 300)},
    {"ResizeByCorner", true, kSome, {100, 150}, {150, 200}, Mm(20, 30, 150, 200)},
    {"ResizeByCornerPastTheOpposite", true, kSome, {20, 30}, {120, 170}, Mm(100, 150, 120, 170)},
    {"ResizeByEdge", true, kSome, {20, 90}, {10, 120}, Mm(10, 30, 100, 150)},
    {"ResizeByEdgePastTheGlass", true, kSome, {60, 150}, {60, 400}, Mm(20, 30, 100, 300)},
    {"MoveInside", true, kSome, {60, 90}, {80, 100}, Mm(40, 40, 120, 160)},
    {"MoveStopsAtTheGlass", true, kSome, {60, 90}, {260, 20}, Mm(120, 0, 200, 120)},
    {"ClickChangesNothing", true, kSome, {150, 250}, {150, 250}, kSome},
    {"FlatDrawChangesNothing", true, kSome, {120, 200}, {180, 200}, kSome},
    {"DeviceWithoutArea", false, kSome, {150, 250}, {190, 290}, kSome},
};

class PaneDragTest : public PaneTest, public ::testing::WithParamInterface<DragCase> {};

TEST_P(PaneDragTest, AreaFollowsTheMouse) {
  const DragCase& c = GetParam();
  pane_.setAreaEnabled(c.areaEnabled);
  pane_.setArea(c.start);
  QSignalSpy spy(&pane_, &PreviewPane::areaChanged);
  Drag(c.from, c.to);
  EXPECT_TRUE(Near(pane_.area(), c.expected));
  const bool changed = !Near(c.start, c.expected);
  if (!changed) {
    EXPECT_EQ(spy.count(), 0);
  } else {
    ASSERT_GT(spy.count(), 0);
    EXPECT_EQ(spy.last().at(0).toRectF(), pane_.area());
  }
}

INSTANTIATE_TEST_SUITE_P(Drags, PaneDragTest, ::testing::ValuesIn(kDrags),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PaneTest, ArrowKeysMoveTheAreaShiftArrowsResizeItAndTheFocusIsShown) {
  const double dx = kGlass.width() * scanner::kKeyStep, dy = kGlass.height() * scanner::kKeyStep;
  const std::tuple<Qt::Key, Qt::KeyboardModifiers, QRectF, QRectF> rows[] = {
      {Qt::Key_Left, {}, kSome, kSome.translated(-dx, 0)},
      {Qt::Key_Right, Qt::ShiftModifier, kSome, kSome.adjusted(0, 0, dx, 0)},
      {Qt::Key_Up, Qt::ShiftModifier, Mm(20, 30, 100, 33), Mm(20, 30, 100, 30 + dy)},
      {Qt::Key_Down, Qt::ShiftModifier, Mm(20, 30, 100, 299), Mm(20, 30, 100, 300)}};
  for (const auto& [key, modifiers, start, expected] : rows) {
    pane_.setArea(start);
    QTest::keyClick(&pane_, key, modifiers);
    EXPECT_EQ(pane_.area(), expected) << key;
  }
  pane_.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&pane_));
  const QImage focused = pane_.grab().toImage();  // the active window's one focusable widget
  pane_.clearFocus();
  EXPECT_NE(pane_.grab().toImage(), focused);
}

// Lines of width pixels (channels samples each, padded to bytesPerLine) whose bytes are known.
std::vector<std::uint8_t> Lines(int lines, int bytesPerLine) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(lines) * bytesPerLine);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return bytes;
}

TEST_F(PaneTest, ShowsTheLinesAsTheyArriveInPiecesOfAnySize) {
  struct Layout {
    int width, height, channels, bytesPerLine, delivered;
  };
  for (const Layout& l : {Layout{5, 4, 3, 17, 4}, Layout{6, 0, 1, 6, 40}, Layout{5, 3, 1, 8, 5}}) {
    SCOPED_TRACE(l.bytesPerLine);
    ASSERT_TRUE(pane_.beginImage(l.width, l.height, l.channels, l.bytesPerLine));
    const auto bytes = Lines(l.delivered, l.bytesPerLine);
    const std::span<const std::uint8_t> all(bytes);
    // Two lines and a half first, then the rest in pieces of 7 bytes.
    const std::size_t first = static_cast<std::size_t>(l.bytesPerLine) * 5 / 2;
    pane_.appendBytes(all.first(first));
    EXPECT_EQ(pane_.image().height(), 2);
    for (std::size_t at = first; at < all.size(); at += 7)
      pane_.appendBytes(all.subspan(at, std::min<std::size_t>(7, all.size() - at)));
    const QImage image = pane_.image();
    const int expectedLines = l.height > 0 ? std::min(l.height, l.delivered) : l.delivered;
    ASSERT_EQ(image.size(), QSize(l.width, expectedLines));
    for (int y = 0; y < expectedLines; ++y)
      for (int x = 0; x < l.width; ++x) {
        const std::uint8_t* p = bytes.data() + y * l.bytesPerLine + x * l.channels;
        const QRgb expected = l.channels == 3 ? qRgb(p[0], p[1], p[2]) : qRgb(p[0], p[0], p[0]);
        ASSERT_EQ(image.pixel(x, y), expected) << x << "," << y;
      }
  }
  EXPECT_FALSE(pane_.beginImage(5, 4, 2));
  EXPECT_FALSE(pane_.beginImage(5, 4, 3, 14));
  EXPECT_TRUE(pane_.image().isNull());
}

}  // namespace
