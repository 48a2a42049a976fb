#include "TImage.h"

#include <QPainter>
#include <cmath>

#include "platform/qimage.h"

TBitmap& TPicture::Bitmap() {
  if (!bitmap_) {
    bitmap_ = std::make_unique<TBitmap>();
    bitmap_->SetOnChange([this] {
      if (onChange_) onChange_();
    });
  }
  return *bitmap_;
}

void TPicture::Clear() {
  bitmap_.reset();
  if (onChange_) onChange_();
}

TImage::TImage(QWidget* parent) : QWidget(parent) {
  picture_.SetOnChange([this] { PictureChanged(); });
}

void TImage::PictureChanged() {
  const BitmapObject* object = picture_.HasGraphic() ? picture_.Bitmap().Object() : nullptr;
  shown_ = object ? ToQImage(*object) : QImage();
  if (!shown_.isNull()) {
    // One device pixel per image pixel, also on a scaled display.
    const qreal ratio = devicePixelRatioF();
    shown_.setDevicePixelRatio(ratio);
    resize(static_cast<int>(std::ceil(shown_.width() / ratio)),
           static_cast<int>(std::ceil(shown_.height() / ratio)));
  }
  update();
}

void TImage::paintEvent(QPaintEvent*) {
  if (shown_.isNull()) return;
  QPainter painter(this);
  painter.drawImage(QPointF(0, 0), shown_);
}
