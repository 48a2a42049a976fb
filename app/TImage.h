// The picture view: holds the current picture and shows it at one device pixel per image pixel.
#pragma once

#include <QImage>
#include <QWidget>
#include <memory>

#include "platform/bitmap.h"

// What the view holds: nothing (at start-up) or one bitmap.
class TPicture {
 public:
  bool HasGraphic() const { return bitmap_ != nullptr; }
  // The picture's bitmap; a picture that holds nothing gets an empty one first.
  TBitmap& Bitmap();
  // Holds nothing again.
  void Clear();
  // The change notification: the view repaints and takes the picture's size.
  void SetOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }

 private:
  std::unique_ptr<TBitmap> bitmap_;
  std::function<void()> onChange_;
};

class TImage : public QWidget {
  Q_OBJECT

 public:
  explicit TImage(QWidget* parent = nullptr);

  TPicture& Picture() { return picture_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void PictureChanged();

  TPicture picture_;
  QImage shown_;  // shares the pixels of a 24-bit picture
};
