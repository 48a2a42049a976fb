// Grayscale, Negative and Sepia.
#include "effect_test_support.h"
#include "effects/WeightedGray.h"

namespace {

struct WorkedValue {
  Bgr source;
  std::uint8_t gray;
  Bgr sepia;
  Bgr negative;
};

const WorkedValue kWorkedValues[] = {
    {{0, 0, 0}, 0, {0, 0, 30}, {255, 255, 255}},
    {{255, 255, 255}, 252, {222, 252, 255}, {0, 0, 0}},
    {{0, 0, 255}, 74, {44, 74, 104}, {255, 255, 0}},
    {{0, 255, 0}, 149, {119, 149, 179}, {255, 0, 255}},
    {{255, 0, 0}, 29, {0, 29, 59}, {0, 255, 255}},
    {{128, 128, 128}, 127, {97, 127, 157}, {127, 127, 127}},
    {{100, 150, 200}, 157, {127, 157, 187}, {155, 105, 55}},
};

}  // namespace

TEST(ColorPoint, WorkedValues) {
  for (const WorkedValue& v : kWorkedValues) {
    const Bgr gray{v.gray, v.gray, v.gray};
    EXPECT_EQ(OnePixel(Grayscale, v.source), gray);
    EXPECT_EQ(OnePixel(Sepia, v.source), v.sepia);
    EXPECT_EQ(OnePixel(Negative, v.source), v.negative);
  }
}

TEST(ColorPoint, ExactHalvesRoundAsTheExtendedSumSays) {
  struct Case {
    Bgr source;
    std::uint8_t gray;
  };
  const Case cases[] = {
      {{250, 0, 0}, 28},  // exactly 28.5: half to even
      {{196, 0, 4}, 24},  // exactly 23.5: half to even
      {{8, 0, 92}, 28},   // 27.5 lies just above the half in extended precision
  };
  for (const Case& c : cases) {
    EXPECT_EQ(OnePixel(Grayscale, c.source), (Bgr{c.gray, c.gray, c.gray}));
    EXPECT_EQ(OnePixel(Sepia, c.source)[1], c.gray);
  }
  // Double precision gets the last one wrong, which is why the sums are extended.
  const double p = 92 * 0.289 + 0 * 0.586 + 8 * 0.114;
  EXPECT_EQ(std::lrint(p), 27);
}

TEST(ColorPoint, GrayOfWhiteIs252AndDarkensAgain) {
  HBITMAP white = MakeFlatPicture(4, 3, {255, 255, 255});
  HBITMAP once = RunOn(Grayscale, *white.get());
  for (const Bgr& p : PixelsOf(*once.get())) EXPECT_EQ(p, (Bgr{252, 252, 252}));
  HBITMAP twice = RunOn(Grayscale, *once.get());
  for (const Bgr& p : PixelsOf(*twice.get())) EXPECT_EQ(p, (Bgr{249, 249, 249}));
}

TEST(ColorPoint, SepiaClampsItsOffsets) {
  // The gray level of each colour (from the worked values and the reference) decides.
  for (int level = 0; level <= 255; ++level) {
    const Bgr source{static_cast<std::uint8_t>(level), static_cast<std::uint8_t>(level),
                     static_cast<std::uint8_t>(level)};
    const int y = ReferenceGray(level, level, level);
    const Bgr expected{static_cast<std::uint8_t>(y <= 30 ? 0 : y - 30),
                       static_cast<std::uint8_t>(y),
                       static_cast<std::uint8_t>(y >= 225 ? 255 : y + 30)};
    EXPECT_EQ(OnePixel(Sepia, source), expected) << level;
  }
}

using NegativePaths = BothPaths;

// Every byte of every width up to 40 and a few longer rows: the vectorised loops and their tails.
TEST_P(NegativePaths, EveryByteIsItsComplement) {
  for (int width : {1, 2, 3, 4, 5, 7, 8, 11, 15, 16, 17, 21, 31, 32, 33, 40, 64, 101})
    for (int height : {1, 3}) {
      HBITMAP picture = NoisePicture(width, height, 1u + width);
      HBITMAP once = RunOn(Negative, *picture.get());
      for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
          const Bgr s = At(*picture.get(), x, y);
          ASSERT_EQ(At(*once.get(), x, y), (Bgr{static_cast<std::uint8_t>(255 - s[0]),
                                                static_cast<std::uint8_t>(255 - s[1]),
                                                static_cast<std::uint8_t>(255 - s[2])}))
              << width << " x " << x;
        }
    }
}

LUMIVANE_ON_BOTH_PATHS(NegativePaths);

TEST(ColorPoint, EveryPixelOfAWidePictureFollowsTheRule) {
  // Long rows run through the vectorised loops and their tails.
  for (int width : {1, 15, 16, 17, 31, 33, 64, 101}) {
    HBITMAP picture = NoisePicture(width, 3, 77u + width);
    HBITMAP gray = RunOn(Grayscale, *picture.get());
    HBITMAP sepia = RunOn(Sepia, *picture.get());
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < width; ++x) {
        const Bgr s = At(*picture.get(), x, y);
        const std::uint8_t g = ReferenceGray(s[0], s[1], s[2]);
        ASSERT_EQ(At(*gray.get(), x, y), (Bgr{g, g, g})) << x;
        ASSERT_EQ(At(*sepia.get(), x, y), (Bgr{ClampByte(g - 30), g, ClampByte(g + 30)})) << x;
      }
  }
}

TEST(ColorPoint, DivisionBy1000WithoutADivisionIsExactOverItsRange) {
  static_assert(289 * 255 + 586 * 255 + 114 * 255 + 500 < kDivBy1000Limit);
  for (std::uint32_t n = 0; n < kDivBy1000Limit; ++n) ASSERT_EQ(DivideBy1000(n), n / 1000) << n;
}
