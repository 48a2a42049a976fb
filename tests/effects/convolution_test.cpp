// Convolve3x3 and its three filters, against the rule evaluated naively.
#include "effect_test_support.h"

namespace {

// The rule word for word: clamped sample rows and columns, int32 sums, truncating division.
std::vector<Bgr> ReferenceConvolve(const BitmapObject& picture, const Kernel3x3& kernel,
                                   int divisor, int bias) {
  const int w = picture.Width(), h = picture.Height();
  std::vector<Bgr> out;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      std::int32_t sums[3] = {0, 0, 0};
      int k = 0;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx, ++k) {
          const int sy = std::clamp(y + dy, 0, h - 1), sx = std::clamp(x + dx, 0, w - 1);
          const Bgr s = At(picture, sx, sy);
          for (int c = 0; c < 3; ++c) sums[c] += kernel[k] * s[c];
        }
      Bgr p;
      for (int c = 0; c < 3; ++c) p[c] = ClampByte(sums[c] / divisor + bias);
      out.push_back(p);
    }
  return out;
}

struct Filter {
  const char* name;
  Kernel3x3 kernel;
  std::uint8_t divisor;
  std::uint8_t bias;
};

// The three of the buttons, and others that take the engine's other arithmetic paths.
const Filter kFilters[] = {
    {"blur", kBlurFilter.kernel, kBlurFilter.divisor, kBlurFilter.bias},
    {"sharpen", kSharpenFilter.kernel, kSharpenFilter.divisor, kSharpenFilter.bias},
    {"color-emboss", kColorEmbossFilter.kernel, kColorEmbossFilter.divisor,
     kColorEmbossFilter.bias},
    {"odd divisor, negative weights", {1, -2, 3, -4, 5, -6, 7, -8, 9}, 7, 100},
    {"divisor 255", {10, 20, 30, 40, 50, 60, 70, 80, 90}, 255, 3},
    {"large weights", {1000, -32768, 32767, 0, 5, 0, -3000, 7, 1}, 3, 0},
    {"large weights, divisor 1", {300, 0, 0, 0, -300, 0, 0, 0, 1}, 1, 255},
    {"reciprocal out of reach", {40, 40, 40, 0, 0, 0, 0, 0, 0}, 11, 0},
    {"power of two, bias", {-1, -2, -1, 0, 8, 0, 1, 2, 1}, 4, 128},
};

HBITMAP Filtered(const Filter& f, const BitmapObject& picture) {
  return RunOn([&](HBITMAP h) { return Convolve3x3(std::move(h), f.kernel, f.divisor, f.bias); },
               picture);
}

}  // namespace

using ConvolutionPaths = BothPaths;

TEST_P(ConvolutionPaths, MatchesTheRuleAtTheBordersAndInside) {
  const std::pair<int, int> sizes[] = {{1, 1}, {1, 6},  {7, 1},  {2, 2},  {3, 3},
                                       {5, 4}, {17, 9}, {64, 3}, {101, 5}};
  for (const Filter& f : kFilters)
    for (auto [w, h] : sizes) {
      HBITMAP picture = NoisePicture(w, h, static_cast<std::uint32_t>(w * 31 + h));
      HBITMAP result = Filtered(f, *picture.get());
      EXPECT_EQ(PixelsOf(*result.get()),
                ReferenceConvolve(*picture.get(), f.kernel, f.divisor, f.bias))
          << f.name << " " << w << "x" << h;
    }
}

TEST(Convolve3x3, FlatAndSinglePixelPicturesComeOutUnchanged) {
  for (int i = 0; i < 3; ++i) {
    const Filter& f = kFilters[i];
    for (Bgr colour : {Bgr{0, 0, 0}, Bgr{255, 255, 255}, Bgr{12, 130, 250}}) {
      HBITMAP flat = MakeFlatPicture(6, 5, colour);
      for (const Bgr& p : PixelsOf(*Filtered(f, *flat.get()).get())) ASSERT_EQ(p, colour) << f.name;
      HBITMAP one = MakeFlatPicture(1, 1, colour);
      EXPECT_EQ(At(*Filtered(f, *one.get()).get(), 0, 0), colour) << f.name;
    }
  }
}

TEST(Convolve3x3, OneRowPictures) {
  HBITMAP row = MakePicture(4, 1, [](int x, int) {
    const std::uint8_t v[] = {9, 90, 200, 3};
    return Bgr{v[x], static_cast<std::uint8_t>(255 - v[x]), 77};
  });
  HBITMAP embossed = RunOn(ColorEmboss, *row.get());
  EXPECT_EQ(PixelsOf(*embossed.get()), PixelsOf(*row.get()));
  HBITMAP blurred = RunOn(Blur, *row.get());
  // (3 left + 3 own + 3 right) / 9, the ends replicated.
  EXPECT_EQ(At(*blurred.get(), 0, 0)[0], (3 * 9 + 3 * 9 + 3 * 90) / 9);
  EXPECT_EQ(At(*blurred.get(), 1, 0)[0], (3 * 9 + 3 * 90 + 3 * 200) / 9);
  EXPECT_EQ(At(*blurred.get(), 3, 0)[0], (3 * 200 + 3 * 3 + 3 * 3) / 9);
  EXPECT_EQ(At(*blurred.get(), 2, 0)[2], 77);
}

TEST(Convolve3x3, BlurCornersAndTruncation) {
  HBITMAP picture = MakePicture(3, 3, [](int x, int y) {
    const std::uint8_t v = static_cast<std::uint8_t>(10 * (x + 1) + 100 * y);
    return Bgr{v, v, v};
  });
  HBITMAP blurred = RunOn(Blur, *picture.get());
  // (4 P(0,0) + 2 P(1,0) + 2 P(0,1) + P(1,1)) / 9
  EXPECT_EQ(At(*blurred.get(), 0, 0)[0], (4 * 10 + 2 * 20 + 2 * 110 + 120) / 9);
  // Eight values of 255 and one of 0 give 2040 / 9 = 226, not 227.
  HBITMAP hole = MakePicture(3, 3, [](int x, int y) {
    return x == 1 && y == 1 ? Bgr{0, 0, 0} : Bgr{255, 255, 255};
  });
  EXPECT_EQ(At(*RunOn(Blur, *hole.get()).get(), 1, 1), (Bgr{226, 226, 226}));
}

TEST(Convolve3x3, SharpenOfALonePoint) {
  HBITMAP point = MakePicture(5, 5, [](int x, int y) {
    return x == 2 && y == 2 ? Bgr{255, 255, 255} : Bgr{0, 0, 0};
  });
  HBITMAP sharp = RunOn(Sharpen, *point.get());
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 5; ++x)
      EXPECT_EQ(At(*sharp.get(), x, y)[1], x == 2 && y == 2 ? 255 : 0) << x << "," << y;
}

TEST(Convolve3x3, SharpenDividesTheWholeSum) {
  // Centre 1, neighbours 0 except one of 2: (24 - 2) / 16 = 1, while 1 + (8 - 2) / 16 = 1;
  // centre 17, neighbours sum 120: (408 - 120) / 16 = 18, not 17 + (136 - 120) / 16 = 18 + 0.
  // Checked against the rule on a picture with negative sums too.
  HBITMAP picture = MakePicture(3, 3, [](int x, int y) {
    const std::uint8_t v = x == 1 && y == 1 ? 17 : static_cast<std::uint8_t>(x * 5 + y * 7);
    return Bgr{v, 0, static_cast<std::uint8_t>(255 - v)};
  });
  HBITMAP sharp = RunOn(Sharpen, *picture.get());
  EXPECT_EQ(PixelsOf(*sharp.get()),
            ReferenceConvolve(*picture.get(), kSharpenFilter.kernel, 16, 0));
  EXPECT_EQ(-17 / 16, -1);
}

TEST(Convolve3x3, EmbossOfTheTopRow) {
  HBITMAP picture = MakePicture(3, 2, [](int x, int y) {
    const std::uint8_t v = static_cast<std::uint8_t>(y == 0 ? 100 + x : 110 + 2 * x);
    return Bgr{v, v, v};
  });
  HBITMAP embossed = RunOn(ColorEmboss, *picture.get());
  // c + (three below) - (three of its own row around it)
  const int c = 101, below = 110 + 112 + 114, own = 100 + 101 + 102;
  EXPECT_EQ(At(*embossed.get(), 1, 0)[0], ClampByte(c + below - own));
}

TEST(Convolve3x3, ADivisorOfZeroGivesThePictureBackUnchanged) {
  HBITMAP picture = NoisePicture(6, 4, 12);
  HBITMAP result =
      RunOn([](HBITMAP h) { return Convolve3x3(std::move(h), kBlurFilter.kernel, 0, 0); },
            *picture.get());
  EXPECT_EQ(PixelsOf(*result.get()), PixelsOf(*picture.get()));
}

LUMIVANE_ON_BOTH_PATHS(ConvolutionPaths);
