// Draws the main window on whatever platform Qt runs on (offscreen in scripts/screenshot) with
// a picture in the view, and saves it as an image: lumivane-screenshot OUTPUT [PICTURE].
#include <QApplication>
#include <QPixmap>
#include <cmath>
#include <cstdio>

#include "app/TorvaskUnit1.h"
#include "platform/errors.h"
#include "platform/picture_files.h"

namespace {

// A smooth colourful picture for when no file is given.
HBITMAP SamplePicture() {
  constexpr int kWidth = 480;
  constexpr int kHeight = 360;
  auto object = std::make_unique<BitmapObject>(kWidth, kHeight, PixelFormat::pf24bit);
  for (int y = 0; y < kHeight; ++y) {
    std::uint8_t* row = object->Row(y);
    for (int x = 0; x < kWidth; ++x) {
      const double u = x / double(kWidth), v = y / double(kHeight);
      row[3 * x] = static_cast<std::uint8_t>(127 + 127 * std::sin(6.0 * u + 2.0 * v));
      row[3 * x + 1] = static_cast<std::uint8_t>(127 + 127 * std::sin(4.0 * v + 1.0 + 3.0 * u * v));
      row[3 * x + 2] = static_cast<std::uint8_t>(127 + 127 * std::cos(5.0 * u - 3.0 * v));
    }
  }
  return HBITMAP(std::move(object));
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  if (argc < 2) {
    (void)std::fprintf(stderr, "usage: lumivane-screenshot OUTPUT [PICTURE]\n");
    return 2;
  }
  SetUpApplication();
  TForm1 form;
  const bool ok = RunGuarded([&] {
    if (argc > 2) {
      LoadPictureFile(form.Image1->Picture().Bitmap(), argv[2]);
    } else {
      form.Image1->Picture().Bitmap().AdoptHandle(SamplePicture());
    }
  });
  form.show();
  QApplication::processEvents();
  if (!ok || !form.grab().save(QString::fromLocal8Bit(argv[1]))) return 1;
  return 0;
}
