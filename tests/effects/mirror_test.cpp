// Mirror.
#include "effect_test_support.h"

using MirrorPaths = BothPaths;

TEST_P(MirrorPaths, DestinationPixelIsTheSourcePixelAcross) {
  for (int w : {1, 2, 3, 5, 6, 7, 11, 16, 17, 40, 100})
    for (int h : {1, 3}) {
      HBITMAP picture = NoisePicture(w, h, static_cast<std::uint32_t>(w));
      HBITMAP result = RunOn(Mirror, *picture.get());
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
          ASSERT_EQ(At(*result.get(), x, y), At(*picture.get(), w - 1 - x, y)) << w << " " << x;
    }
}

TEST(Mirror, OddWidthKeepsTheMiddleColumnAndTwiceGivesThePictureBack) {
  HBITMAP picture = NoisePicture(9, 4, 3);
  HBITMAP once = RunOn(Mirror, *picture.get());
  for (int y = 0; y < 4; ++y) EXPECT_EQ(At(*once.get(), 4, y), At(*picture.get(), 4, y));
  HBITMAP twice = RunOn(Mirror, *once.get());
  EXPECT_EQ(PixelsOf(*twice.get()), PixelsOf(*picture.get()));
}

TEST(Mirror, RowsKeepTheirPlaces) {
  HBITMAP picture = MakePicture(4, 3, [](int x, int y) {
    return Bgr{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 0};
  });
  HBITMAP result = RunOn(Mirror, *picture.get());
  EXPECT_EQ(At(*result.get(), 3, 0), (Bgr{0, 0, 0}));
  EXPECT_EQ(At(*result.get(), 3, 2), (Bgr{0, 2, 0}));
  HBITMAP narrow = NoisePicture(1, 5, 8);
  EXPECT_EQ(PixelsOf(*RunOn(Mirror, *narrow.get()).get()), PixelsOf(*narrow.get()));
}

LUMIVANE_ON_BOTH_PATHS(MirrorPaths);
