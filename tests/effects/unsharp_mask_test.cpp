// UnsharpMask.
#include "effect_test_support.h"

namespace {

std::vector<Bgr> ReferenceUnsharp(const BitmapObject& picture) {
  const int w = picture.Width(), h = picture.Height();
  std::vector<Bgr> out;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      int sums[3] = {0, 0, 0};
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
          const Bgr s = At(picture, std::clamp(x + dx, 0, w - 1), std::clamp(y + dy, 0, h - 1));
          for (int c = 0; c < 3; ++c) sums[c] += s[c];
        }
      const Bgr a = At(picture, x, y);
      Bgr p;
      for (int c = 0; c < 3; ++c) p[c] = ClampByte(2 * (a[c] - ClampByte(sums[c] / 9)) + 128);
      out.push_back(p);
    }
  return out;
}

}  // namespace

TEST(UnsharpMask, FlatPicturesBecomeMidGrey) {
  for (Bgr colour : {Bgr{0, 0, 0}, Bgr{255, 255, 255}, Bgr{3, 140, 251}})
    for (auto [w, h] : {std::pair{1, 1}, std::pair{7, 4}}) {
      HBITMAP flat = MakeFlatPicture(w, h, colour);
      for (const Bgr& p : PixelsOf(*RunOn(UnsharpMask, *flat.get()).get()))
        ASSERT_EQ(p, (Bgr{128, 128, 128}));
    }
}

TEST(UnsharpMask, ALonePoint) {
  HBITMAP point = MakePicture(7, 7, [](int x, int y) {
    return x == 3 && y == 3 ? Bgr{255, 255, 255} : Bgr{0, 0, 0};
  });
  HBITMAP mask = RunOn(UnsharpMask, *point.get());
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 7; ++x) {
      const int distance = std::max(std::abs(x - 3), std::abs(y - 3));
      const int expected = distance == 0 ? 255 : distance == 1 ? 72 : 128;
      EXPECT_EQ(At(*mask.get(), x, y),
                (Bgr{std::uint8_t(expected), std::uint8_t(expected), std::uint8_t(expected)}))
          << x << "," << y;
    }
}

TEST(UnsharpMask, DifferencesAroundTheClampingPoints) {
  // A 1 x 2 picture: each pixel's blur is (6 a + 3 b) / 9 of the pair. The table lists the
  // difference from the blur and the mask value.
  struct Case {
    std::uint8_t a, b;  // a is the pixel measured
  };
  for (Case c : {Case{189, 0}, Case{192, 0}, Case{0, 192}, Case{0, 189}, Case{255, 0}}) {
    HBITMAP pair = MakePicture(2, 1, [c](int x, int) {
      const std::uint8_t v = x == 0 ? c.a : c.b;
      return Bgr{v, v, v};
    });
    const int blurred = (6 * c.a + 3 * c.b) / 9;
    const int diff = c.a - blurred;
    const int expected = diff >= 64 ? 255 : diff <= -64 ? 0 : 2 * diff + 128;
    EXPECT_EQ(At(*RunOn(UnsharpMask, *pair.get()).get(), 0, 0)[0], expected) << diff;
  }
}

using UnsharpMaskPaths = BothPaths;

TEST_P(UnsharpMaskPaths, MatchesTheRuleEverywhere) {
  for (auto [w, h] :
       {std::pair{1, 5}, std::pair{5, 1}, std::pair{2, 3}, std::pair{33, 17}, std::pair{100, 4}}) {
    HBITMAP picture = NoisePicture(w, h, static_cast<std::uint32_t>(w + 100 * h));
    EXPECT_EQ(PixelsOf(*RunOn(UnsharpMask, *picture.get()).get()), ReferenceUnsharp(*picture.get()))
        << w << "x" << h;
  }
}

LUMIVANE_ON_BOTH_PATHS(UnsharpMaskPaths);
