#include "qimage.h"

QImage ToQImage(const BitmapObject& object) {
  if (object.Format() == PixelFormat::pf24bit) {
    return QImage(object.Bits(), object.Width(), object.Height(),
                  static_cast<qsizetype>(object.Stride()), QImage::Format_BGR888);
  }
  QImage image(object.Width(), object.Height(), QImage::Format_BGR888);
  for (std::int32_t y = 0; y < object.Height(); ++y) {
    uchar* line = image.scanLine(y);
    for (std::int32_t x = 0; x < object.Width(); ++x) {
      const auto c = PixelColour(object, x, y);
      line[3 * x] = c[0];
      line[3 * x + 1] = c[1];
      line[3 * x + 2] = c[2];
    }
  }
  return image;
}
