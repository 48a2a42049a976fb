// MeanThreshold and Binarize: the two passes of the binarisation command.
#include <algorithm>
#include <cstring>
#include <vector>

#include "EffectBass.h"
#include "PixelBlocks.h"
#include "Vectorise.h"
#include "WeightedGray.h"
#include "effect_functions.h"

std::int32_t BinarizeThreshold = 0;

namespace {

constexpr std::uint8_t kWhite = 255;
constexpr std::uint8_t kBlack = 0;
// Marks a pixel whose exact weighted sum equals the threshold: the extended evaluation decides.
constexpr std::uint8_t kTieMark = 1;

// ---- MeanThreshold --------------------------------------------------------------------------

struct ChannelTotals {
  std::uint64_t blue = 0, green = 0, red = 0;
};

// Adds the blue, green and red values of a row to the totals. Byte lane k of a 48-byte block
// (16 pixels) always holds channel k mod 3.
LUMIVANE_INLINE void AddRow(const std::uint8_t* __restrict s, std::int32_t width,
                            ChannelTotals& totals) {
  constexpr std::size_t kLanes = 48;
  constexpr std::size_t kBlocksPerFlush = 1 << 16;  // 2^16 x 255 fits a lane
  const std::size_t bytes = 3 * static_cast<std::size_t>(width);
  std::uint64_t sums[3] = {0, 0, 0};
  std::size_t i = 0;
  while (bytes - i >= kLanes) {
    std::uint32_t lanes[kLanes] = {};
    const std::size_t blocks = std::min((bytes - i) / kLanes, kBlocksPerFlush);
    for (std::size_t b = 0; b < blocks; ++b, i += kLanes)
      for (std::size_t k = 0; k < kLanes; ++k) lanes[k] += s[i + k];
    for (std::size_t k = 0; k < kLanes; ++k) sums[k % 3] += lanes[k];
  }
  for (; i < bytes; ++i) sums[i % 3] += s[i];
  totals.blue += sums[0];
  totals.green += sums[1];
  totals.red += sums[2];
}

// Copies a row and adds its channels to the totals in one pass, 32 pixels (three 32-byte
// registers) at a time. Byte k of the 96 always holds channel k mod 3: masks keep the blue and
// the green bytes, and sums of absolute differences against zero add eight bytes at a time into
// 64-bit lanes (no overflow). Red is the whole minus blue and green. The bytes after the last
// whole block go one by one.
[[gnu::target("avx2")]] void CopyAndAddRowAvx2(const std::uint8_t* __restrict s,
                                               std::uint8_t* __restrict d, std::int32_t width,
                                               ChannelTotals& totals) {
  alignas(32) std::uint8_t masks[2][3][32];
  for (int c = 0; c < 2; ++c)
    for (int r = 0; r < 3; ++r)
      for (int k = 0; k < 32; ++k) masks[c][r][k] = (32 * r + k) % 3 == c ? 0xFF : 0;
  __m256i blueMask[3], greenMask[3];
  for (int r = 0; r < 3; ++r) {
    blueMask[r] = _mm256_load_si256(reinterpret_cast<const __m256i*>(masks[0][r]));
    greenMask[r] = _mm256_load_si256(reinterpret_cast<const __m256i*>(masks[1][r]));
  }
  const __m256i zero = _mm256_setzero_si256();
  __m256i all = zero, blue = zero, green = zero;
  const std::size_t bytes = 3 * static_cast<std::size_t>(width);
  std::size_t i = 0;
  for (; i + pixel_blocks::kBytes <= bytes; i += pixel_blocks::kBytes)
    for (int r = 0; r < 3; ++r) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + 32 * r));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i + 32 * r), v);
      all = _mm256_add_epi64(all, _mm256_sad_epu8(v, zero));
      blue = _mm256_add_epi64(blue, _mm256_sad_epu8(_mm256_and_si256(v, blueMask[r]), zero));
      green = _mm256_add_epi64(green, _mm256_sad_epu8(_mm256_and_si256(v, greenMask[r]), zero));
    }
  alignas(32) std::uint64_t lanes[3][4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[0]), all);
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[1]), blue);
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[2]), green);
  std::uint64_t sums[3] = {lanes[1][0] + lanes[1][1] + lanes[1][2] + lanes[1][3],
                           lanes[2][0] + lanes[2][1] + lanes[2][2] + lanes[2][3],
                           lanes[0][0] + lanes[0][1] + lanes[0][2] + lanes[0][3]};
  sums[2] -= sums[0] + sums[1];
  for (; i < bytes; ++i) {
    d[i] = s[i];
    sums[i % 3] += s[i];
  }
  totals.blue += sums[0];
  totals.green += sums[1];
  totals.red += sums[2];
}

// The sum S of the rule, pixel by pixel and term by term in extended precision.
long double SequentialExtendedSum(const TBitmap& source) {
  long double sum = 0;
  for (std::int32_t y = 0; y < source.Height(); ++y) {
    const std::uint8_t* s = source.RowAt(y);
    for (std::int32_t x = 0; x < source.Width(); ++x) {
      sum = sum + s[3 * x] * kWeight114;
      sum = sum + s[3 * x + 1] * kWeight586;
      sum = sum + s[3 * x + 2] * kWeight289;
    }
  }
  return sum;
}

// The mean weighted gray of count pixels, rounded half to even as the extended evaluation
// rounds it. The exact mean is scaled / (1000 count) with scaled = 114 ΣB + 586 ΣG + 289 ΣR;
// the sequential extended sum drifts from it by less than `bound` (3 count additions and
// multiplications, each off by at most 2^-64 of a value below 256 count, twice over for
// safety). Only a mean that close to an integer and a half needs the sum computed as the rule
// says.
std::int32_t RoundedMean(const ChannelTotals& totals, std::int32_t count, const TBitmap& source) {
  const std::uint64_t scaled =
      kMilli114 * totals.blue + kMilli586 * totals.green + kMilli289 * totals.red;
  const std::uint64_t denominator = std::uint64_t{kMilli} * static_cast<std::uint64_t>(count);
  const std::uint64_t whole = scaled / denominator;
  const std::uint64_t rest = scaled % denominator;
  // Distance of the exact mean from whole + 1/2, times 2 x denominator.
  const std::uint64_t twiceRest = 2 * rest;
  const std::uint64_t offHalf =
      twiceRest > denominator ? twiceRest - denominator : denominator - twiceRest;
  const long double n = count;
  const long double bound = (3 * n + 4) * 256 * 2 * 0x1p-64L;
  if (static_cast<long double>(offHalf) > bound * 2 * static_cast<long double>(denominator))
    return static_cast<std::int32_t>(twiceRest < denominator ? whole : whole + 1);
  const long double mean = SequentialExtendedSum(source) / count;
  return static_cast<std::int32_t>(std::lrint(mean));
}

// ---- Binarize -------------------------------------------------------------------------------

// 1000 x q is the integer m = 289B + 586G + 114R, and the extended q lies within 1e-15 of
// m / 1000, so m against 1000 x threshold decides, except when they are equal.
LUMIVANE_INLINE void ExactMaskRow(const std::uint8_t* __restrict s, std::uint8_t* __restrict mask,
                                  std::int32_t width, std::int32_t scaledThreshold) {
  for (std::int32_t x = 0; x < width; ++x) {
    const std::int32_t m = static_cast<std::int32_t>(
        kMilli289 * s[3 * x] + kMilli586 * s[3 * x + 1] + kMilli114 * s[3 * x + 2]);
    mask[x] = m > scaledThreshold ? kWhite : (m == scaledThreshold ? kTieMark : kBlack);
  }
}

// The same decision as ExactMaskRow and its ties resolved, 32 pixels at a time in one pass from
// source to destination: m = 289B + 586G + 114R against 1000 x threshold, the extended evaluation
// only for pixels where they are equal. Rows of fewer than 32 pixels are left to the row loops.
[[gnu::target("avx2")]] void BinarizeRowsAvx2(const TBitmap& source, TBitmap& destination,
                                              std::int32_t first, std::int32_t end,
                                              std::int32_t threshold,
                                              std::int32_t scaledThreshold) {
  using namespace pixel_blocks;
  const Weights weights = MakeWeights(kMilli289, kMilli586, kMilli114, 0);
  const __m256i scaled = _mm256_set1_epi32(scaledThreshold);
  ForEachBlock(source, destination, first, end,
               [&](const std::uint8_t* s, std::uint8_t* d) LUMIVANE_AVX2_LAMBDA {
                 const Sums m = WeightedSums(LoadBlock(s), weights);
                 Sums white, tie;
                 for (int g = 0; g < 4; ++g) {
                   white.group[g] = _mm256_cmpgt_epi32(m.group[g], scaled);
                   tie.group[g] = _mm256_cmpeq_epi32(m.group[g], scaled);
                 }
                 const __m256i mask =
                     ReplaceFlagged(PackMasks(white), PackMasks(tie), [s, threshold](int i) {
                       const long double q =
                           ExtendedBinarizeSum(s[3 * i], s[3 * i + 1], s[3 * i + 2]);
                       return q > static_cast<long double>(threshold) ? kWhite : kBlack;
                     });
                 StoreBlock(d, Triplicate(mask));
               });
}

}  // namespace

HBITMAP MeanThreshold(HBITMAP h) {
  return RunEffect(std::move(h), [](const TBitmap& source, TBitmap& destination) {
    // Each band adds into its own totals; the integer totals are then added in band order.
    std::vector<ChannelTotals> bandTotals(static_cast<std::size_t>(
        RowBandCount(std::int64_t{source.Width()} * source.Height(), source.Height())));
    // The explicit copy-and-add takes rows of any width (its tail goes byte by byte).
    const std::int32_t bands = RunRowPass(
        source, destination, 0,
        [&](const TBitmap& s, TBitmap& d, std::int32_t first, std::int32_t end, std::int32_t band) {
          ChannelTotals& totals = bandTotals[static_cast<std::size_t>(band)];
          for (std::int32_t y = first; y < end; ++y)
            CopyAndAddRowAvx2(s.RowAt(y), d.RowAt(y), s.Width(), totals);
        },
        [&](const std::uint8_t* s, std::uint8_t*, std::uint8_t* d, std::int32_t width,
            std::int32_t band) LUMIVANE_LAMBDA {
          std::memcpy(d, s, 3 * static_cast<std::size_t>(width));
          AddRow(s, width, bandTotals[static_cast<std::size_t>(band)]);
        });
    ChannelTotals totals;
    for (std::int32_t band = 0; band < bands; ++band) {
      const ChannelTotals& part = bandTotals[static_cast<std::size_t>(band)];
      totals.blue += part.blue;
      totals.green += part.green;
      totals.red += part.red;
    }
    // Every pixel of the picture is added once: the count is the picture's size.
    const std::int32_t count = source.Width() * source.Height();
    if (count == 0) throw EInvalidOperation(msg::kInvalidFloatOperation);  // 0 / 0
    BinarizeThreshold = RoundedMean(totals, count, source);
  });
}

HBITMAP Binarize(HBITMAP h, std::int32_t threshold) {
  // Every q lies in 0 .. 252.195: below 0 all pixels are white, above 252 all black, and the
  // clamped threshold keeps 1000 x threshold in 32 bits without changing a comparison.
  const std::int32_t scaledThreshold =
      std::clamp<std::int32_t>(threshold, -1, 253) * static_cast<std::int32_t>(kMilli);
  return RunEffect(
      std::move(h), [threshold, scaledThreshold](const TBitmap& source, TBitmap& destination) {
        RunRowPass(
            source, destination, pixel_blocks::kPixels,
            [&](const TBitmap& s, TBitmap& d, std::int32_t first, std::int32_t end, std::int32_t) {
              BinarizeRowsAvx2(s, d, first, end, threshold, scaledThreshold);
            },
            [&](const std::uint8_t* s, std::uint8_t* mask, std::uint8_t* d, std::int32_t width,
                std::int32_t) LUMIVANE_LAMBDA {
              ExactMaskRow(s, mask, width, scaledThreshold);
              ResolveMarks(s, mask, width, kTieMark,
                           [threshold](std::uint8_t b, std::uint8_t g, std::uint8_t r) {
                             const long double q = ExtendedBinarizeSum(b, g, r);
                             return q > static_cast<long double>(threshold) ? kWhite : kBlack;
                           });
              SpreadRow(mask, d, width);
            });
      });
}
