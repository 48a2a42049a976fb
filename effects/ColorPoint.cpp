// Grayscale, Negative and Sepia: each output pixel from the same input pixel.
#include <cstring>
#include <vector>

#include "EffectBass.h"
#include "PixelBlocks.h"
#include "Vectorise.h"
#include "WeightedGray.h"
#include "effect_functions.h"

namespace {

constexpr std::int32_t kSepiaOffset = 30;
// No gray level reaches it (the weights add up to 0.989, so the gray never exceeds 252); it
// marks a pixel whose exact weighted sum is an integer and a half.
constexpr std::uint8_t kHalfMark = 255;

// 1000 x the weighted sum is the integer n = 289R + 586G + 114B, and the extended evaluation
// lies within 1e-15 of n / 1000. Unless n ends in 500 the nearest integer is therefore that of
// the exact value, (n + 500) div 1000; an exact half is marked for the extended evaluation.
LUMIVANE_INLINE void ExactGrayRow(const std::uint8_t* __restrict s, std::uint8_t* __restrict gray,
                                  std::int32_t width) {
  for (std::int32_t x = 0; x < width; ++x) {
    const std::uint32_t n =
        kMilli289 * s[3 * x + 2] + kMilli586 * s[3 * x + 1] + kMilli114 * s[3 * x] + kMilli / 2;
    const std::uint32_t level = DivideBy1000(n);
    gray[x] = level * kMilli == n ? kHalfMark : static_cast<std::uint8_t>(level);
  }
}

LUMIVANE_INLINE void WriteSepiaRow(const std::uint8_t* __restrict gray, std::uint8_t* __restrict d,
                                   std::int32_t width) {
  // ClampByte(y - 30) and ClampByte(y + 30), written as saturating byte arithmetic.
  constexpr std::uint8_t kOffset = kSepiaOffset;
  for (std::int32_t x = 0; x < width; ++x) {
    const std::uint8_t y = gray[x];
    d[3 * x] = static_cast<std::uint8_t>(y > kOffset ? y - kOffset : 0);
    d[3 * x + 1] = y;
    d[3 * x + 2] = static_cast<std::uint8_t>(y < 255 - kOffset ? y + kOffset : 255);
  }
}

LUMIVANE_INLINE void NegativeRow(const std::uint8_t* __restrict s, std::uint8_t* __restrict d,
                                 std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) d[i] = static_cast<std::uint8_t>(255 - s[i]);
}

enum class Tone { kGray, kSepia };

// The same integers as ExactGrayRow, 32 pixels at a time in one pass from source to
// destination: n = 289R + 586G + 114B + 500 and level = n div 1000 by the same multiplication.
// n is an exact half exactly when level x 1000 == n; such pixels (about one in a thousand) take
// the extended evaluation before the gray is spread to the three channels. Rows of fewer than
// 32 pixels are left to the row loops above.
[[gnu::target("avx2")]] void GrayRowsAvx2(const TBitmap& source, TBitmap& destination,
                                          std::int32_t first, std::int32_t end, Tone tone) {
  using namespace pixel_blocks;
  const Weights weights = MakeWeights(kMilli114, kMilli586, kMilli289, kMilli / 2);
  const __m256i by125 = _mm256_set1_epi32(kDivBy1000Multiplier);  // see DivideBy1000
  const __m256i thousand = _mm256_set1_epi32(kMilli);
  // Sepia: the offset taken from blue and added to red, with saturation (ClampByte). Byte j of
  // chunk k is channel (16k + j) mod 3 in both lanes (48 is a multiple of 3).
  alignas(32) std::uint8_t down[3][32] = {}, up[3][32] = {};
  for (int k = 0; k < 3; ++k)
    for (int j = 0; j < 32; ++j) {
      const int channel = (16 * k + j % 16) % 3;
      down[k][j] = channel == 0 ? kSepiaOffset : 0;
      up[k][j] = channel == 2 ? kSepiaOffset : 0;
    }
  __m256i sepiaDown[3], sepiaUp[3];
  for (int k = 0; k < 3; ++k) {
    sepiaDown[k] = _mm256_load_si256(reinterpret_cast<const __m256i*>(down[k]));
    sepiaUp[k] = _mm256_load_si256(reinterpret_cast<const __m256i*>(up[k]));
  }

  ForEachBlock(source, destination, first, end,
               [&](const std::uint8_t* s, std::uint8_t* d) LUMIVANE_AVX2_LAMBDA {
                 const Sums n = WeightedSums(LoadBlock(s), weights);
                 Sums level, half;
                 for (int g = 0; g < 4; ++g) {
                   level.group[g] = _mm256_srli_epi32(
                       _mm256_mullo_epi32(_mm256_srli_epi32(n.group[g], kDivBy1000PreShift), by125),
                       kDivBy1000Shift);
                   half.group[g] =
                       _mm256_cmpeq_epi32(_mm256_mullo_epi32(level.group[g], thousand), n.group[g]);
                 }
                 const __m256i gray = ReplaceFlagged(
                     PackLevels(level), PackMasks(half),
                     [s](int i) { return ExtendedGray(s[3 * i], s[3 * i + 1], s[3 * i + 2]); });
                 Block result = Triplicate(gray);
                 if (tone == Tone::kSepia)
                   for (int k = 0; k < 3; ++k)
                     result.chunk[k] = _mm256_adds_epu8(
                         _mm256_subs_epu8(result.chunk[k], sepiaDown[k]), sepiaUp[k]);
                 StoreBlock(d, result);
               });
}

HBITMAP GrayEffect(HBITMAP h, Tone tone) {
  return RunEffect(std::move(h), [tone](const TBitmap& source, TBitmap& destination) {
    RunRowPass(
        source, destination, pixel_blocks::kPixels,
        [tone](const TBitmap& s, TBitmap& d, std::int32_t first, std::int32_t end, std::int32_t) {
          GrayRowsAvx2(s, d, first, end, tone);
        },
        [tone](const std::uint8_t* s, std::uint8_t* gray, std::uint8_t* d, std::int32_t width,
               std::int32_t) LUMIVANE_LAMBDA {
          ExactGrayRow(s, gray, width);
          ResolveMarks(s, gray, width, kHalfMark, ExtendedGray);
          if (tone == Tone::kGray)
            SpreadRow(gray, d, width);
          else
            WriteSepiaRow(gray, d, width);
        });
  });
}

}  // namespace

HBITMAP Grayscale(HBITMAP h) {
  return GrayEffect(std::move(h), Tone::kGray);
}

HBITMAP Sepia(HBITMAP h) {
  return GrayEffect(std::move(h), Tone::kSepia);
}

HBITMAP Negative(HBITMAP h) {
  return RunEffect(std::move(h), [](const TBitmap& source, TBitmap& destination) {
    const std::size_t bytes = 3 * static_cast<std::size_t>(source.Width());
    ForEachRowVectorised(source.Width(), source.Height(), [&](std::int32_t y) LUMIVANE_LAMBDA {
      NegativeRow(source.RowAt(y), destination.RowAt(y), bytes);
    });
  });
}
