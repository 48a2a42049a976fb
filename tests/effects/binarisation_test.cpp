// MeanThreshold and Binarize.
#include <tuple>

#include "effect_test_support.h"
#include "effects/effect_table.h"

namespace {

std::int32_t ThresholdOf(const BitmapObject& picture) {
  BinarizeThreshold = -12345;
  HBITMAP copy = RunOn(MeanThreshold, picture);
  EXPECT_EQ(PixelsOf(*copy.get()), PixelsOf(picture));  // the pass changes nothing visible
  return BinarizeThreshold;
}

Bgr BinarizeOne(Bgr colour, std::int32_t threshold) {
  return OnePixel([threshold](HBITMAP h) { return Binarize(std::move(h), threshold); }, colour);
}

constexpr Bgr kBlack{0, 0, 0};
constexpr Bgr kWhite{255, 255, 255};

}  // namespace

// Threshold of a flat picture of the colour, and the colour binarised at that threshold; the
// last three are where a double evaluation would decide otherwise.
TEST(Binarisation, ThresholdAndResultOfOneColour) {
  struct Case {
    Bgr colour;
    std::int32_t threshold;
    Bgr result;
  };
  const Case cases[] = {
      {{0, 0, 0}, 0, kBlack},     {{255, 255, 255}, 252, kWhite}, {{128, 128, 128}, 127, kBlack},
      {{0, 0, 255}, 74, kBlack},  {{255, 0, 0}, 29, kWhite},      {{0, 255, 0}, 149, kWhite},
      {{0, 51, 1}, 30, kBlack},    // q is exactly 30
      {{40, 80, 40}, 63, kWhite},  // q lies just above 63 in extended precision
      {{4, 9, 5}, 7, kWhite},
  };
  for (const Case& c : cases) {
    HBITMAP flat = MakeFlatPicture(3, 2, c.colour);
    EXPECT_EQ(ThresholdOf(*flat.get()), c.threshold);
    EXPECT_EQ(BinarizeOne(c.colour, c.threshold), c.result);
  }
  const double q = 40 * 0.289 + 80 * 0.586 + 40 * 0.114;
  EXPECT_FALSE(q > 63);  // what a double evaluation would decide
}

TEST(Binarisation, BlackAndWhitePixels) {
  HBITMAP picture = MakePicture(2, 1, [](int x, int) { return x ? kWhite : kBlack; });
  EXPECT_EQ(ThresholdOf(*picture.get()), 126);  // 126.0975
  HBITMAP result = RunOn([](HBITMAP h) { return Binarize(std::move(h), 126); }, *picture.get());
  EXPECT_EQ(At(*result.get(), 0, 0), kBlack);
  EXPECT_EQ(At(*result.get(), 1, 0), kWhite);
}

TEST(Binarisation, ThresholdsOutsideTheGrayRange) {
  for (const Bgr colour : {kBlack, kWhite, Bgr{1, 2, 3}}) {
    EXPECT_EQ(BinarizeOne(colour, -1), kWhite);
    EXPECT_EQ(BinarizeOne(colour, INT32_MIN), kWhite);
    EXPECT_EQ(BinarizeOne(colour, 253), kBlack);
    EXPECT_EQ(BinarizeOne(colour, INT32_MAX), kBlack);
  }
}

TEST(Binarisation, EveryColourOfARowMatchesTheExtendedComparison) {
  for (std::int32_t threshold : {0, 7, 30, 63, 126, 200, 252}) {
    HBITMAP picture = NoisePicture(97, 5, static_cast<std::uint32_t>(threshold));
    HBITMAP result =
        RunOn([threshold](HBITMAP h) { return Binarize(std::move(h), threshold); }, *picture.get());
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 97; ++x) {
        const Bgr s = At(*picture.get(), x, y);
        const bool white = ReferenceBinarizeSum(s[0], s[1], s[2]) > threshold;
        ASSERT_EQ(At(*result.get(), x, y), white ? kWhite : kBlack);
      }
  }
}

TEST(Binarisation, MeanMatchesTheSequentialExtendedSum) {
  for (auto [w, h, seed] : {std::tuple{1, 1, 1u}, std::tuple{13, 7, 2u}, std::tuple{200, 150, 3u},
                            std::tuple{1000, 3, 4u}}) {
    HBITMAP picture = NoisePicture(w, h, seed);
    EXPECT_EQ(ThresholdOf(*picture.get()), ReferenceMean(*picture.get())) << w << "x" << h;
  }
}

TEST(Binarisation, AMeanOfExactlyAHalfIsDecidedByTheSequentialSum) {
  // One pixel whose weighted sum is an integer and a half: the exact integers cannot decide.
  int found = 0;
  for (int b = 0; b < 256 && found < 40; ++b)
    for (int g = 0; g < 256 && found < 40; g += 7)
      for (int r = 0; r < 256 && found < 40; r += 3)
        if ((114 * b + 586 * g + 289 * r) % 1000 == 500) {
          HBITMAP one =
              MakeFlatPicture(1, 1,
                              Bgr{static_cast<std::uint8_t>(b), static_cast<std::uint8_t>(g),
                                  static_cast<std::uint8_t>(r)});
          ASSERT_EQ(ThresholdOf(*one.get()), ReferenceMean(*one.get()))
              << b << " " << g << " " << r;
          ++found;
        }
  EXPECT_EQ(found, 40);
  // Pixels whose mean is an exact half: 28.5 and (23.5 + 27.5) / 2 = 25.5.
  HBITMAP halves = MakeFlatPicture(3, 2, Bgr{250, 0, 0});
  HBITMAP mixed = MakePicture(2, 1, [](int x, int) { return x ? Bgr{196, 0, 4} : Bgr{8, 0, 92}; });
  EXPECT_EQ(ThresholdOf(*halves.get()), ReferenceMean(*halves.get()));
  EXPECT_EQ(ThresholdOf(*mixed.get()), ReferenceMean(*mixed.get()));
}

TEST(Binarisation, AnEmptyPictureLeavesTheThresholdAlone) {
  BinarizeThreshold = 77;
  EXPECT_FALSE(MeanThreshold(HBITMAP()));
  EXPECT_EQ(BinarizeThreshold, 77);
}

TEST(Binarisation, CommandRunsBothPassesAndIsIdempotent) {
  TBitmap picture;
  picture.AdoptHandle(NoisePicture(31, 17, 9));
  const std::int32_t expected = ReferenceMean(*picture.Object());
  RunEffectCommand(*FindEffectCommand("binarize"), picture);
  EXPECT_EQ(BinarizeThreshold, expected);
  const std::vector<Bgr> once = PixelsOf(*picture.Object());
  int white = 0;
  for (const Bgr& p : once) {
    ASSERT_TRUE(p == kBlack || p == kWhite);
    white += p == kWhite;
  }
  EXPECT_GT(white, 0);
  EXPECT_LT(white, 31 * 17);
  RunEffectCommand(*FindEffectCommand("binarize"), picture);
  EXPECT_EQ(PixelsOf(*picture.Object()), once);
}

TEST(Binarisation, CommandOnAnEmptyPictureChangesNothing) {
  BinarizeThreshold = 5;
  TBitmap picture;
  RunEffectCommand(*FindEffectCommand("binarize"), picture);
  EXPECT_TRUE(picture.Empty());
  EXPECT_EQ(BinarizeThreshold, 5);
}
