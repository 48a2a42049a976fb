#include "preview_pane.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <cstring>

#include "scanner/contract/messages.h"

namespace scanner {
namespace {

constexpr double kHandle = 7;       // side of a drawn handle, in pixels
constexpr double kReach = 6;        // how far from an edge the mouse still takes it
constexpr double kInset = kHandle;  // room around the glass for the handles on its edges
constexpr int kMaxPreviewBytes = 256 << 20;
// An area of more than this share of the glass leaves too little room outside it to start a
// new one: a drag inside it draws one, as on the whole glass.
constexpr double kNearlyWhole = 0.95;
const QColor kGlassColour(250, 250, 250);
const QColor kDimColour(0, 0, 0, 110);
const QColor kMarkColour(255, 140, 0);

// What the mouse holds: the edges that follow it, or the whole rectangle.
constexpr unsigned kNone = 0, kLeft = 1, kTop = 2, kRight = 4, kBottom = 8, kMove = 16;

Qt::CursorShape CursorFor(unsigned grip, bool inside) {
  if (grip == (kLeft | kTop) || grip == (kRight | kBottom)) return Qt::SizeFDiagCursor;
  if (grip == (kRight | kTop) || grip == (kLeft | kBottom)) return Qt::SizeBDiagCursor;
  if (grip == kLeft || grip == kRight) return Qt::SizeHorCursor;
  if (grip == kTop || grip == kBottom) return Qt::SizeVerCursor;
  if (grip == kMove) return Qt::SizeAllCursor;
  return inside ? Qt::CrossCursor : Qt::ArrowCursor;
}

}  // namespace

PreviewPane::PreviewPane(QWidget* parent) : QWidget(parent) {
  setObjectName("previewPane");
  setMouseTracking(true);
  setFocusPolicy(Qt::StrongFocus);
  setToolTip(QString::fromUtf8(kPaneKeys));
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

PreviewPane::~PreviewPane() = default;

void PreviewPane::setGlass(const QRectF& glass) {
  glass_ = glass.normalized();
  setArea(area_);
  update();
}

void PreviewPane::setAreaEnabled(bool enabled) {
  areaEnabled_ = enabled;
  grip_ = kNone;
  unsetCursor();
  update();
}

void PreviewPane::setArea(const QRectF& area) {
  QRectF clamped = area.normalized();
  if (!area.isNull() && glass_.isValid()) {
    clamped.setLeft(std::clamp(clamped.left(), glass_.left(), glass_.right()));
    clamped.setTop(std::clamp(clamped.top(), glass_.top(), glass_.bottom()));
    clamped.setRight(std::clamp(clamped.right(), glass_.left(), glass_.right()));
    clamped.setBottom(std::clamp(clamped.bottom(), glass_.top(), glass_.bottom()));
  }
  area_ = area.isNull() ? QRectF() : clamped;
  update();
}

bool PreviewPane::beginImage(int width, int height, int channels, int bytesPerLine) {
  clearImage();
  if (bytesPerLine == 0) bytesPerLine = width * channels;
  const bool fits =
      width > 0 && (channels == 1 || channels == 3) && bytesPerLine >= width * channels &&
      static_cast<long long>(width) * channels * std::max(height, 1) <= kMaxPreviewBytes;
  if (!fits) return false;
  // A preview of unknown length starts at the glass's proportions and grows as it comes.
  const int lines = height > 0 ? height : std::max(16, width);
  image_ = QImage(width, lines, channels == 1 ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
  if (image_.isNull()) return false;
  expectedLines_ = std::max(height, 0);
  lineBytes_ = bytesPerLine;
  return true;
}

void PreviewPane::appendBytes(std::span<const std::uint8_t> bytes) {
  if (image_.isNull() || lineBytes_ == 0) return;
  const std::size_t pixelBytes = static_cast<std::size_t>(image_.width()) *
                                 (image_.format() == QImage::Format_Grayscale8 ? 1 : 3);
  const int before = receivedLines_;
  while (!bytes.empty()) {
    const std::size_t take =
        std::min(bytes.size(), static_cast<std::size_t>(lineBytes_) - partial_.size());
    partial_.insert(partial_.end(), bytes.begin(),
                    bytes.begin() + static_cast<std::ptrdiff_t>(take));
    bytes = bytes.subspan(take);
    if (partial_.size() < static_cast<std::size_t>(lineBytes_)) break;
    if (expectedLines_ > 0 && receivedLines_ >= expectedLines_) {  // more than announced
      partial_.clear();
      continue;
    }
    if (receivedLines_ == image_.height()) {
      if (static_cast<long long>(lineBytes_) * image_.height() * 2 > kMaxPreviewBytes) {
        partial_.clear();
        break;
      }
      image_ = image_.copy(0, 0, image_.width(), image_.height() * 2);
      if (image_.isNull()) return clearImage();
    }
    std::memcpy(image_.scanLine(receivedLines_), partial_.data(), pixelBytes);
    ++receivedLines_;
    partial_.clear();
  }
  if (receivedLines_ != before) update();
}

void PreviewPane::setImage(const QImage& image) {
  clearImage();
  image_ = image;
  expectedLines_ = receivedLines_ = image.height();
  update();
}

void PreviewPane::clearImage() {
  image_ = QImage();
  expectedLines_ = receivedLines_ = lineBytes_ = 0;
  partial_.clear();
  update();
}

QImage PreviewPane::image() const {
  if (image_.isNull() || receivedLines_ == 0) return QImage();
  return image_.copy(0, 0, image_.width(), receivedLines_);
}

QRectF PreviewPane::glassFrame() const {
  QSizeF proportions = glass_.size();
  if (!image_.isNull() && (expectedLines_ > 0 || receivedLines_ > 0))
    proportions = QSizeF(image_.width(), expectedLines_ > 0 ? expectedLines_ : receivedLines_);
  const QRectF room = QRectF(rect()).adjusted(kInset, kInset, -kInset, -kInset);
  if (proportions.isEmpty() || room.isEmpty()) return QRectF();
  const QSizeF size = proportions.scaled(room.size(), Qt::KeepAspectRatio);
  QRectF frame(QPointF(), size);
  frame.moveCenter(room.center());
  return frame;
}

QSize PreviewPane::sizeHint() const {
  return QSize(320, 420);
}
QSize PreviewPane::minimumSizeHint() const {
  return QSize(160, 200);
}

QPointF PreviewPane::ToGlass(QPointF point) const {
  const QRectF frame = glassFrame();
  return {glass_.left() + (point.x() - frame.left()) * glass_.width() / frame.width(),
          glass_.top() + (point.y() - frame.top()) * glass_.height() / frame.height()};
}

QPointF PreviewPane::ToPane(QPointF p) const {
  const QRectF frame = glassFrame();
  return {frame.left() + (p.x() - glass_.left()) * frame.width() / glass_.width(),
          frame.top() + (p.y() - glass_.top()) * frame.height() / glass_.height()};
}

QRectF PreviewPane::ToPane(const QRectF& area) const {
  return QRectF(ToPane(area.topLeft()), ToPane(area.bottomRight()));
}

void PreviewPane::setMarks(std::vector<QPolygonF> marks) {
  marks_ = std::move(marks);
  update();
}

QPointF PreviewPane::Clamped(QPointF glassPoint) const {
  return {std::clamp(glassPoint.x(), glass_.left(), glass_.right()),
          std::clamp(glassPoint.y(), glass_.top(), glass_.bottom())};
}

unsigned PreviewPane::GripAt(QPointF point) const {
  if (area_.isNull()) return kNone;
  const QRectF r = ToPane(area_);
  const bool withinY = point.y() >= r.top() - kReach && point.y() <= r.bottom() + kReach;
  const bool withinX = point.x() >= r.left() - kReach && point.x() <= r.right() + kReach;
  // The nearer of two edges when the rectangle is too small to tell them apart.
  const auto nearer = [](double p, double low, double high, unsigned lowGrip, unsigned highGrip) {
    const double toLow = std::abs(p - low), toHigh = std::abs(p - high);
    if (std::min(toLow, toHigh) > kReach) return unsigned{kNone};
    return toLow < toHigh ? lowGrip : highGrip;
  };
  unsigned grip = kNone;
  if (withinY) grip |= nearer(point.x(), r.left(), r.right(), kLeft, kRight);
  if (withinX) grip |= nearer(point.y(), r.top(), r.bottom(), kTop, kBottom);
  if (grip != kNone) return grip;
  // Inside, a drag moves the rectangle, unless it is (nearly) the whole glass, where there is
  // no room to draw another: then a drag draws a new one.
  if (r.contains(point) && !NearlyWholeGlass()) return kMove;
  return kNone;
}

bool PreviewPane::NearlyWholeGlass() const {
  return area_.width() * area_.height() > kNearlyWhole * glass_.width() * glass_.height();
}

QRectF PreviewPane::OnGlass(QRectF area) const {
  area.translate(
      std::max(glass_.left() - area.left(), 0.0) - std::max(area.right() - glass_.right(), 0.0),
      std::max(glass_.top() - area.top(), 0.0) - std::max(area.bottom() - glass_.bottom(), 0.0));
  return area;
}

void PreviewPane::Edit(QPointF point) {
  const QPointF at = ToGlass(point);
  QRectF next = pressArea_;
  if (grip_ == kMove) {
    next = OnGlass(next.translated(at - ToGlass(pressPoint_)));
  } else {
    const QPointF to = Clamped(at);
    if (grip_ & kLeft) next.setLeft(to.x());
    if (grip_ & kRight) next.setRight(to.x());
    if (grip_ & kTop) next.setTop(to.y());
    if (grip_ & kBottom) next.setBottom(to.y());
    next = next.normalized();
    // A rectangle being drawn flat (no width or no height on the screen) could not be scanned:
    // until it has both, the area stays what it was.
    const QRectF shown = ToPane(next);
    if (drawing_ && (shown.width() < 1 || shown.height() < 1)) next = areaBefore_;
  }
  Change(next);
}

void PreviewPane::Change(const QRectF& area) {
  if (area == area_) return;
  area_ = area;
  update();
  emit areaChanged(area_);
}

void PreviewPane::mousePressEvent(QMouseEvent* event) {
  const QRectF frame = glassFrame();
  if (event->button() != Qt::LeftButton || !areaEnabled_ || frame.isEmpty() || !glass_.isValid())
    return QWidget::mousePressEvent(event);
  event->accept();
  pressPoint_ = event->position();
  pressArea_ = areaBefore_ = area_;
  dragged_ = false;
  grip_ = GripAt(pressPoint_);
  drawing_ = grip_ == kNone;
  if (drawing_) {
    if (!frame.adjusted(-kReach, -kReach, kReach, kReach).contains(pressPoint_)) return;
    // A new rectangle from the pressed corner; its far corner follows the mouse.
    const QPointF corner = Clamped(ToGlass(pressPoint_));
    pressArea_ = QRectF(corner, corner);
    grip_ = kRight | kBottom;
  }
}

void PreviewPane::mouseMoveEvent(QMouseEvent* event) {
  event->accept();
  const QPointF point = event->position();
  if (grip_ == kNone || !(event->buttons() & Qt::LeftButton)) {
    if (areaEnabled_ && glass_.isValid())
      setCursor(CursorFor(GripAt(point), glassFrame().contains(point)));
    return;
  }
  // A new rectangle starts when the mouse has really moved, not at a click.
  if (!dragged_ && drawing_ &&
      (point - pressPoint_).manhattanLength() < QApplication::startDragDistance())
    return;
  dragged_ = true;
  Edit(point);
}

void PreviewPane::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || grip_ == kNone) return QWidget::mouseReleaseEvent(event);
  event->accept();
  if (dragged_) Edit(event->position());
  const bool clicked = !dragged_;
  grip_ = kNone;
  drawing_ = dragged_ = false;
  if (!clicked) return;
  const QPointF at = ToGlass(event->position());
  for (std::size_t i = 0; i < marks_.size(); ++i)
    if (marks_[i].containsPoint(at, Qt::OddEvenFill)) return emit markClicked(static_cast<int>(i));
}

void PreviewPane::keyPressEvent(QKeyEvent* event) {
  QPointF by;
  switch (event->key()) {
    case Qt::Key_Left:
      by = {-1, 0};
      break;
    case Qt::Key_Right:
      by = {1, 0};
      break;
    case Qt::Key_Up:
      by = {0, -1};
      break;
    case Qt::Key_Down:
      by = {0, 1};
      break;
    default:
      return QWidget::keyPressEvent(event);
  }
  const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
  if (!areaEnabled_ || area_.isNull() || !glass_.isValid() || grip_ != kNone ||
      (modifiers != Qt::NoModifier && modifiers != Qt::ShiftModifier))
    return QWidget::keyPressEvent(event);
  event->accept();
  const QSizeF step = glass_.size() * kKeyStep;
  const QPointF move(by.x() * step.width(), by.y() * step.height());
  if (modifiers == Qt::NoModifier) return Change(OnGlass(area_.translated(move)));
  // The right or bottom edge: out to the glass's edge, in to a step from the opposite edge.
  const auto edge = [](double at, double delta, double opposite, double least, double limit) {
    return delta > 0 ? std::min(at + delta, std::max(at, limit))
                     : std::max(at + delta, std::min(at, opposite + least));
  };
  QRectF next = area_;
  next.setRight(edge(next.right(), move.x(), next.left(), step.width(), glass_.right()));
  next.setBottom(edge(next.bottom(), move.y(), next.top(), step.height(), glass_.bottom()));
  Change(next);
}

void PreviewPane::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), palette().window());
  if (hasFocus()) {
    // Where the keys go: a frame around the pane, outside the glass and its handles.
    painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
    painter.drawRect(QRectF(rect()).adjusted(1, 1, -1, -1));
  }
  const QRectF frame = glassFrame();
  if (frame.isEmpty()) return;
  painter.fillRect(frame, kGlassColour);
  if (!image_.isNull() && receivedLines_ > 0) {
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const int shownLines = expectedLines_ > 0 ? expectedLines_ : receivedLines_;
    QRectF target = frame;
    target.setHeight(frame.height() * receivedLines_ / shownLines);
    painter.drawImage(target, image_, QRectF(0, 0, image_.width(), receivedLines_));
  }
  painter.setPen(QPen(palette().color(QPalette::Dark), 1));
  painter.drawRect(frame);
  if (glass_.isValid()) {
    // Every document found, outlined where it lies.
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(kMarkColour, 1.5, Qt::DashLine));
    for (const QPolygonF& mark : marks_) {
      QPolygonF shown;
      for (const QPointF& corner : mark) shown << ToPane(corner);
      painter.drawPolygon(shown);
    }
    painter.restore();
  }

  if (!areaEnabled_ || area_.isNull() || !glass_.isValid()) return;
  const QRectF r = ToPane(area_);
  QPainterPath outside;
  outside.addRect(frame);
  QPainterPath inside;
  inside.addRect(r);
  painter.fillPath(outside.subtracted(inside), kDimColour);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(palette().color(QPalette::Highlight), 1.5));
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(r);
  painter.setBrush(Qt::white);
  for (const double x : {r.left(), r.center().x(), r.right()})
    for (const double y : {r.top(), r.center().y(), r.bottom()}) {
      if (x == r.center().x() && y == r.center().y()) continue;
      painter.drawRect(QRectF(x - kHandle / 2, y - kHandle / 2, kHandle, kHandle));
    }
}

QRectF ImageToGlass(const QRect& pixels, QSize imageSize, const QRectF& glass) {
  if (imageSize.isEmpty()) return glass;
  const double sx = glass.width() / imageSize.width(), sy = glass.height() / imageSize.height();
  return QRectF(QPointF(glass.left() + pixels.left() * sx, glass.top() + pixels.top() * sy),
                QPointF(glass.left() + (pixels.left() + pixels.width()) * sx,
                        glass.top() + (pixels.top() + pixels.height()) * sy));
}

}  // namespace scanner
