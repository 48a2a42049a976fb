// The weighted sums of the colour point effects and of the binarisation. They are defined in x87
// extended precision (64-bit significand, every product and sum rounded to nearest, ties to
// even); the pixel loops reach the same bytes through exact integers and fall back to the
// extended evaluation only where the integers cannot decide.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "EffectBass.h"
#include "Vectorise.h"

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

// n div 1000 for 0 <= n < 2^18 (every n = 289R + 586G + 114B + 500 is below 2^18) without a
// division: ((n >> 3) x 33555) >> 22, that is (n div 8) div 125 with 33555 = ceil(2^22 / 125).
// Exact over that range, the product staying within 32 bits; the tests check every n.
inline constexpr std::uint32_t kDivBy1000PreShift = 3;        // n div 8 first
inline constexpr std::uint32_t kDivBy1000Multiplier = 33555;  // ceil(2^22 / 125)
inline constexpr std::uint32_t kDivBy1000Shift = 22;
inline constexpr std::uint32_t kDivBy1000Limit = 1u << 18;  // n below it
constexpr std::uint32_t DivideBy1000(std::uint32_t n) {
  return ((n >> kDivBy1000PreShift) * kDivBy1000Multiplier) >> kDivBy1000Shift;
}

// The extended evaluations are kept out of line on purpose. They run for about one pixel in a
// thousand (exact halves and ties); inlined into the pixel loops, their x87 code would only
// bloat loops it could never join in a vector. And one out-of-line copy, compiled for the
// baseline, serves every tier: the rare values are decided by the very same instructions
// whichever tier runs.

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

// The row loops of both: one byte per pixel (a gray level, a black-or-white decision) is worked
// out for the row first, from exact integers, with `mark` where the integers cannot decide.

// Replaces each mark in the row of values by decide(b, g, r) of its source pixel; marks are rare,
// so they are found by memchr.
template <class Decide>
void ResolveMarks(const std::uint8_t* s, std::uint8_t* values, std::int32_t width,
                  std::uint8_t mark, Decide decide) {
  std::uint8_t* const end = values + width;
  // p never passes end: it is values or one past a mark found before end.
  for (std::uint8_t* p = values;
       (p = static_cast<std::uint8_t*>(std::memchr(p, mark, static_cast<std::size_t>(end - p)))) !=
       nullptr;
       ++p) {
    const std::ptrdiff_t x = p - values;
    *p = decide(s[3 * x], s[3 * x + 1], s[3 * x + 2]);
  }
}

// Each pixel's value into its three channels.
LUMIVANE_INLINE void SpreadRow(const std::uint8_t* __restrict values, std::uint8_t* __restrict d,
                               std::int32_t width) {
  for (std::int32_t x = 0; x < width; ++x) {
    const std::uint8_t v = values[x];
    d[3 * x] = v;
    d[3 * x + 1] = v;
    d[3 * x + 2] = v;
  }
}
