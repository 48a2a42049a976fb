// Helpers of the effect tests: run an effect on a small picture and read its pixels.
#pragma once

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "effects/EffectBass.h"
#include "effects/Vectorise.h"
#include "effects/effect_functions.h"
#include "support/test_support.h"

// The colour of pixel (x, y) of a bitmap object.
inline Bgr At(const BitmapObject& object, int x, int y) {
  return PixelColour(object, x, y);
}

// Runs effect on a copy of picture and returns the result, which must be a 24-bit picture of
// the same size.
inline HBITMAP RunOn(const std::function<HBITMAP(HBITMAP)>& effect, const BitmapObject& picture) {
  HBITMAP result = effect(HBITMAP(picture.Clone()));
  EXPECT_TRUE(result);
  if (result) {
    EXPECT_EQ(result->Format(), PixelFormat::pf24bit);
    EXPECT_EQ(result->Width(), picture.Width());
    EXPECT_EQ(result->Height(), picture.Height());
  }
  return result;
}

// The one pixel of effect applied to a 1 x 1 picture of colour.
inline Bgr OnePixel(const std::function<HBITMAP(HBITMAP)>& effect, Bgr colour) {
  HBITMAP one = MakeFlatPicture(1, 1, colour);
  HBITMAP result = RunOn(effect, *one.get());
  return result ? At(*result.get(), 0, 0) : Bgr{};
}

// The weighted sums as the rules state them, evaluated naively in extended precision.
inline long double ReferenceGraySum(int b, int g, int r) {
  long double p = r * 0.289L;
  p = p + g * 0.586L;
  p = p + b * 0.114L;
  return p;
}
inline std::uint8_t ReferenceGray(int b, int g, int r) {
  return ClampByte(static_cast<std::int32_t>(std::lrint(ReferenceGraySum(b, g, r))));
}
inline long double ReferenceBinarizeSum(int b, int g, int r) {
  long double q = b * 0.289L;
  q = q + g * 0.586L;
  q = q + r * 0.114L;
  return q;
}

// The mean of MeanThreshold as the rule computes it: a sequential extended sum, term by term.
inline std::int32_t ReferenceMean(const BitmapObject& picture) {
  long double sum = 0;
  std::int32_t count = 0;
  for (int y = 0; y < picture.Height(); ++y)
    for (int x = 0; x < picture.Width(); ++x) {
      const Bgr p = At(picture, x, y);
      sum = sum + p[0] * 0.114L;
      sum = sum + p[1] * 0.586L;
      sum = sum + p[2] * 0.289L;
      ++count;
    }
  return static_cast<std::int32_t>(std::lrint(sum / count));
}

// Whether any fill byte behind the pixels of a row is non-zero.
inline bool PaddingTouched(const BitmapObject& object) {
  const std::size_t used = 3 * static_cast<std::size_t>(object.Width());
  for (int y = 0; y < object.Height(); ++y)
    for (std::size_t i = used; i < object.Stride(); ++i)
      if (object.Row(y)[i] != 0) return true;
  return false;
}

// The code paths of the pixel loops (effects/Vectorise.h): a test of a fixture derived from this
// runs once with the AVX2 tiers (skipped on a processor without AVX2) and once with the
// baseline, on any processor. Instantiate it with LUMIVANE_ON_BOTH_PATHS(Fixture).
class BothPaths : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam() && !Avx2Enabled()) GTEST_SKIP() << "no AVX2 on this processor";
    SetAvx2Allowed(GetParam());
  }
  void TearDown() override { SetAvx2Allowed(true); }
};

inline std::string PathName(const testing::TestParamInfo<bool>& info) {
  return info.param ? "Avx2" : "Baseline";
}

#define LUMIVANE_ON_BOTH_PATHS(Fixture) \
  INSTANTIATE_TEST_SUITE_P(Paths, Fixture, testing::Bool(), PathName)
