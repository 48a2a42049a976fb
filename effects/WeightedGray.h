// The weighted sums of the colour point effects and of the binarisation. They are defined in x87
// extended precision (64-bit significand, every product and sum rounded to nearest, ties to
// even); the pixel loops reach the same bytes through exact integers and fall back to the
// extended evaluation only where the integers cannot decide.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "EffectBass.h"

#if !defined(LDBL_MANT_DIG) || LDBL_MANT_DIG != 64
#error \
    "The colour weights are defined in x87 extended precision: long double needs a 64-bit significand."
#endif

// The extended-precision values nearest to the decimal weights.
inline constexpr long double kWeight289 = 0.289L;
inline constexpr long double kWeight586 = 0.586L;
inline constexpr long double kWeight114 = 0.114L;

// The same weights times 1000: the exact weighted sums scaled by 1000 are these integers.
inline constexpr std::uint32_t kMilli289 = 289;
inline constexpr std::uint32_t kMilli586 = 586;
inline constexpr std::uint32_t kMilli114 = 114;
inline constexpr std::uint32_t kMilli = 1000;

// R x 0.289 + G x 0.586 + B x 0.114, in this order: the gray of Grayscale and Sepia.
[[gnu::noinline]] inline long double ExtendedGraySum(std::uint8_t b, std::uint8_t g,
                                                     std::uint8_t r) {
  long double p = r * kWeight289;
  p = p + g * kWeight586;
  p = p + b * kWeight114;
  return p;
}

// The gray level: the sum rounded half to even (the default rounding mode) and clamped.
[[gnu::noinline]] inline std::uint8_t ExtendedGray(std::uint8_t b, std::uint8_t g, std::uint8_t r) {
  return ClampByte(static_cast<std::int32_t>(std::lrint(ExtendedGraySum(b, g, r))));
}

// B x 0.289 + G x 0.586 + R x 0.114, in this order: the value that Binarize compares.
[[gnu::noinline]] inline long double ExtendedBinarizeSum(std::uint8_t b, std::uint8_t g,
                                                         std::uint8_t r) {
  long double q = b * kWeight289;
  q = q + g * kWeight586;
  q = q + r * kWeight114;
  return q;
}
