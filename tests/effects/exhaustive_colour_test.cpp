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

class EveryColour : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam() && !Avx2Enabled()) GTEST_SKIP() << "no AVX2 on this processor";
    SetAvx2Allowed(GetParam());
  }
  void TearDown() override { SetAvx2Allowed(true); }
};

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

INSTANTIATE_TEST_SUITE_P(Paths, EveryColour, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Avx2" : "Baseline";
                         });
