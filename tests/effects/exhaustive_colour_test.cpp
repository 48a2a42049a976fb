// Every one of the 2^24 colours through the effects that weigh colours, against a plain
// evaluation of their rules in extended precision, on the AVX2 code path (where the processor
// has it) and on the baseline one.
#include <cfloat>
#include <cmath>

#include "effect_test_support.h"
#include "effects/Vectorise.h"

namespace {

constexpr int kSide = 4096;  // 4096 x 4096 pixels: every colour once

Bgr ColourOf(int x, int y) {
  const std::uint32_t index = static_cast<std::uint32_t>(y) * kSide + static_cast<std::uint32_t>(x);
  return Bgr{static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(index >> 8),
             static_cast<std::uint8_t>(index >> 16)};
}

const BitmapObject& AllColours() {
  static const HBITMAP picture = MakePicture(kSide, kSide, ColourOf);
  return *picture.get();
}

using EveryColour = BothPaths;

}  // namespace

TEST_P(EveryColour, GrayscaleAndSepiaMatchTheExtendedEvaluation) {
  const BitmapObject& all = AllColours();
  HBITMAP gray = RunOn(Grayscale, all);
  HBITMAP sepia = RunOn(Sepia, all);
  ASSERT_TRUE(gray && sepia);
  long mismatches = 0, doubleWouldDiffer = 0;
  for (int y = 0; y < kSide; ++y) {
    const std::uint8_t* g = gray->Row(y);
    const std::uint8_t* s = sepia->Row(y);
    for (int x = 0; x < kSide; ++x) {
      const Bgr c = ColourOf(x, y);
      const std::uint8_t expected = ReferenceGray(c[0], c[1], c[2]);
      const std::uint8_t* gp = g + 3 * x;
      const std::uint8_t* sp = s + 3 * x;
      if (gp[0] != expected || gp[1] != expected || gp[2] != expected ||
          sp[0] != ClampByte(expected - 30) || sp[1] != expected ||
          sp[2] != ClampByte(expected + 30))
        ++mismatches;
      const double p = c[2] * 0.289 + c[1] * 0.586 + c[0] * 0.114;
      doubleWouldDiffer += ClampByte(static_cast<std::int32_t>(std::lrint(p))) != expected;
    }
  }
  EXPECT_EQ(mismatches, 0);
  // The evidence that the extended evaluation matters: double precision misses a few thousand.
  EXPECT_GT(doubleWouldDiffer, 1000);
  EXPECT_LT(doubleWouldDiffer, 10000);
}

TEST_P(EveryColour, BinarizeMatchesTheExtendedComparison) {
  const BitmapObject& all = AllColours();
  for (std::int32_t threshold : {7, 63, 126}) {
    HBITMAP result =
        RunOn([threshold](HBITMAP h) { return Binarize(std::move(h), threshold); }, all);
    ASSERT_TRUE(result);
    long mismatches = 0;
    for (int y = 0; y < kSide; ++y) {
      const std::uint8_t* r = result->Row(y);
      for (int x = 0; x < kSide; ++x) {
        const Bgr c = ColourOf(x, y);
        const bool white = ReferenceBinarizeSum(c[0], c[1], c[2]) > threshold;
        const std::uint8_t v = white ? 255 : 0;
        mismatches += r[3 * x] != v || r[3 * x + 1] != v || r[3 * x + 2] != v;
      }
    }
    EXPECT_EQ(mismatches, 0) << threshold;
  }
}

// MeanThreshold decides from exact integer sums unless the exact mean lies so close to an
// integer and a half that the extended sum of the rule, drifting by rounding, might round it
// the other way; only then does it add up the extended sum itself. For 2^24 pixels that margin
// is 23.4 / (1000 x 2^24): pictures whose exact mean lies 23 steps of 1 / (1000 x 2^24) from
// 100.5 take the extended sum, 24 steps away the integers decide. Both sides of the edge, and
// the exact half, must give the threshold of the rule.
TEST_P(EveryColour, MeanThresholdAtTheEdgeOfItsIntegerDecision) {
  constexpr std::int64_t kPixels = std::int64_t{kSide} * kSide;
  constexpr std::int64_t kDenominator = 1000 * kPixels;
  for (std::int64_t offset : {-24, -23, 0, 23, 24}) {
    // 114 sum(B) + 586 sum(G) + 289 sum(R) = 1000 x 2^24 x 100.5 + offset, with a few pixels of
    // blue and red 1 and every green near 171.
    const std::int64_t target = 201 * kDenominator / 2 + offset;
    std::int64_t blues = -1, reds = 0;
    for (std::int64_t b = 0; b < 586 && blues < 0; ++b)
      for (std::int64_t r = 0; r < 586; ++r)
        if ((target - 114 * b - 289 * r) % 586 == 0) {
          blues = b;
          reds = r;
          break;
        }
    ASSERT_GE(blues, 0);
    const std::int64_t greens = (target - 114 * blues - 289 * reds) / 586;
    const std::int64_t base = greens / kPixels, extra = greens % kPixels;
    HBITMAP picture = MakePicture(kSide, kSide, [&](int x, int y) {
      const std::int64_t i = std::int64_t{y} * kSide + x;
      return Bgr{static_cast<std::uint8_t>(i < blues),
                 static_cast<std::uint8_t>(base + (i < extra)),
                 static_cast<std::uint8_t>(i < reds)};
    });
    BinarizeThreshold = -1;
    HBITMAP copy = RunOn(MeanThreshold, *picture.get());
    ASSERT_TRUE(copy);
    EXPECT_EQ(BinarizeThreshold, ReferenceMean(*picture.get())) << offset;
    // Where the integers decide, they give the exact mean's rounding.
    if (offset == -24 || offset == 24) {
      EXPECT_EQ(BinarizeThreshold, offset < 0 ? 100 : 101);
    }
  }
}

LUMIVANE_ON_BOTH_PATHS(EveryColour);
