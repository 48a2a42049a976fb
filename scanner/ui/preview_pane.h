// The scan dialog's view of the glass: the preview as it arrives, and on it the scan area as a
// rectangle the user draws, resizes and moves with the mouse, or moves with the arrow keys and
// resizes with Shift and the arrow keys.
#pragma once

#include <QImage>
#include <QPolygonF>
#include <QRectF>
#include <QWidget>
#include <cstdint>
#include <span>
#include <vector>

namespace scanner {

// An arrow key moves the area (or with Shift, its right or bottom edge) by this share of the
// glass.
inline constexpr double kKeyStep = 0.01;

class PreviewPane final : public QWidget {
  Q_OBJECT
  // For whoever sees the pane from another library (tests drive it through the program).
  Q_PROPERTY(QRectF area READ area)
  Q_PROPERTY(QRectF glass READ glass)
  Q_PROPERTY(QRectF glassFrame READ glassFrame)
  Q_PROPERTY(QSize imageSize READ imageSize)
  Q_PROPERTY(int markCount READ markCount)

 public:
  explicit PreviewPane(QWidget* parent = nullptr);
  ~PreviewPane() override;

  // The glass in millimetres (left, top, right, bottom as SANE's tl-x/tl-y and br-x/br-y reach).
  // The area is clamped into it, without areaChanged.
  void setGlass(const QRectF& glass);
  QRectF glass() const { return glass_; }

  // A device without a scan area shows no rectangle, and the mouse leaves it alone.
  void setAreaEnabled(bool enabled);
  bool areaEnabled() const { return areaEnabled_; }

  // The scan area in glass millimetres, normalised and clamped to the glass; a null rectangle
  // for none yet. Setting it does not emit areaChanged.
  void setArea(const QRectF& area);
  QRectF area() const { return area_; }

  // A preview arriving as the device delivers it: lines of width pixels of 8-bit gray (1
  // channel) or RGB (3), bytesPerLine each (0: no padding), height lines (0 or less: known only
  // at the end). appendBytes takes the bytes in pieces of any size. False for a layout the pane
  // does not show (it is then empty).
  bool beginImage(int width, int height, int channels, int bytesPerLine = 0);
  void appendBytes(std::span<const std::uint8_t> bytes);
  void setImage(const QImage& image);
  void clearImage();
  QImage image() const;  // the lines received so far
  QSize imageSize() const { return image().size(); }

  // Where the glass is drawn, in the pane's coordinates: the image's proportions when there is
  // one (a preview covers the whole glass), the glass's otherwise.
  QRectF glassFrame() const;

  // The documents found on the preview, outlined on it: each a polygon in glass millimetres.
  void setMarks(std::vector<QPolygonF> marks);
  int markCount() const { return static_cast<int>(marks_.size()); }

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 signals:
  void areaChanged(const QRectF& area);
  // A click (not a drag) inside a mark.
  void markClicked(int mark);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QPointF ToGlass(QPointF point) const;  // not clamped
  QRectF ToPane(const QRectF& area) const;
  QPointF ToPane(QPointF glassPoint) const;
  QPointF Clamped(QPointF glassPoint) const;
  QRectF OnGlass(QRectF area) const;  // moved back onto the glass, its size kept
  bool NearlyWholeGlass() const;
  unsigned GripAt(QPointF point) const;
  void Edit(QPointF point);
  void Change(const QRectF& area);

  QRectF glass_;
  QRectF area_;
  bool areaEnabled_ = true;
  std::vector<QPolygonF> marks_;

  QImage image_;
  int expectedLines_ = 0;
  int receivedLines_ = 0;
  int lineBytes_ = 0;
  std::vector<std::uint8_t> partial_;

  // The edit under way: which edges follow the mouse (or the whole rectangle), from where.
  unsigned grip_ = 0;
  bool drawing_ = false;
  bool dragged_ = false;
  QPointF pressPoint_;
  QRectF pressArea_;   // the rectangle being edited, as it was at the press
  QRectF areaBefore_;  // the area before the press
};

// A rectangle of preview pixels (of a preview of the whole glass, imageSize pixels) in glass
// millimetres.
QRectF ImageToGlass(const QRect& pixels, QSize imageSize, const QRectF& glass);

}  // namespace scanner
