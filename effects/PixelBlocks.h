// Explicit AVX2 building blocks for the weighted-gray loops: 32 pixels of 24 bits at a time,
// split into blue, green and red without leaving the vector registers, weighted with integer
// multiply-adds, and put back together as 24-bit pixels. Only functions compiled for AVX2 may
// call them; the caller checks Avx2Enabled() first.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#define LUMIVANE_AVX2 [[gnu::target("avx2"), gnu::always_inline]] inline
// For the block lambdas handed to ForEachBlock, which call the functions below.
#define LUMIVANE_AVX2_LAMBDA __attribute__((target("avx2"), always_inline))

namespace pixel_blocks {

inline constexpr std::int32_t kPixels = 32;  // pixels of one block
inline constexpr std::int32_t kBytes = 96;   // their bytes

// A block of 32 pixels (96 bytes) as three registers. The two 128-bit lanes of each register
// hold the two halves of the block: lane 0 of chunk k holds bytes 16k .. 16k + 15 of the block,
// lane 1 the bytes 48 + 16k .. 48 + 16k + 15. Byte shuffles work within a lane, so every step
// below treats both halves (pixels 0..15 and 16..31) alike.
struct Block {
  __m256i chunk[3];
};

LUMIVANE_AVX2 Block LoadBlock(const std::uint8_t* p) {
  Block b;
  for (int k = 0; k < 3; ++k) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48 + 16 * k));
    b.chunk[k] = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
  }
  return b;
}

// The inverse of LoadBlock: 96 contiguous bytes.
LUMIVANE_AVX2 void StoreBlock(std::uint8_t* p, const Block& b) {
  const __m256i bytes0 = _mm256_permute2x128_si256(b.chunk[0], b.chunk[1], 0x20);
  const __m256i bytes32 = _mm256_permute2x128_si256(b.chunk[2], b.chunk[0], 0x30);
  const __m256i bytes64 = _mm256_permute2x128_si256(b.chunk[1], b.chunk[2], 0x31);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), bytes0);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + 32), bytes32);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + 64), bytes64);
}

// Weights of one weighted sum: wb x B + wg x G + wr x R + offset, all small non-negative
// integers (wb, wg, wr below 2^15), so that the sum of 8-bit channels stays far below 2^31.
struct Weights {
  __m256i blueGreen;  // 16-bit pairs (wb, wg)
  __m256i red;        // 16-bit pairs (wr, 0)
  __m256i offset;     // 32-bit
};

LUMIVANE_AVX2 Weights MakeWeights(std::int16_t wb, std::int16_t wg, std::int16_t wr,
                                  std::int32_t offset) {
  return {_mm256_set1_epi32(static_cast<std::int32_t>(static_cast<std::uint16_t>(wb)) |
                            (static_cast<std::int32_t>(wg) << 16)),
          _mm256_set1_epi32(wr), _mm256_set1_epi32(offset)};
}

// The weighted sums of a block as 32-bit integers, four registers: group g holds pixels
// 4g .. 4g + 3 in lane 0 and 16 + 4g .. 16 + 4g + 3 in lane 1. Packing groups 0 and 1, then 2
// and 3, then the two results (saturating packs, which keep the order within each lane) thus
// gives one byte per pixel in pixel order: lane 0 pixels 0..15, lane 1 pixels 16..31.
struct Sums {
  __m256i group[4];
};

// The sums of the four pixels whose bytes begin `source` (as `pairs` and `reds` pick them).
LUMIVANE_AVX2 __m256i GroupSums(__m256i source, __m256i pairs, __m256i reds, const Weights& w) {
  const __m256i blueGreen = _mm256_madd_epi16(_mm256_shuffle_epi8(source, pairs), w.blueGreen);
  const __m256i red = _mm256_madd_epi16(_mm256_shuffle_epi8(source, reds), w.red);
  return _mm256_add_epi32(_mm256_add_epi32(blueGreen, red), w.offset);
}

LUMIVANE_AVX2 Sums WeightedSums(const Block& b, const Weights& w) {
  // Four pixels (12 bytes) starting at byte `first` of a lane: blue and green as 16-bit pairs,
  // red as a 32-bit value; a shuffle index with the top bit set gives zero.
#define LUMIVANE_PAIRS(f)                                                                     \
  _mm256_setr_epi8((f), -1, (f) + 1, -1, (f) + 3, -1, (f) + 4, -1, (f) + 6, -1, (f) + 7, -1,  \
                   (f) + 9, -1, (f) + 10, -1, (f), -1, (f) + 1, -1, (f) + 3, -1, (f) + 4, -1, \
                   (f) + 6, -1, (f) + 7, -1, (f) + 9, -1, (f) + 10, -1)
#define LUMIVANE_REDS(f)                                                                        \
  _mm256_setr_epi8((f) + 2, -1, -1, -1, (f) + 5, -1, -1, -1, (f) + 8, -1, -1, -1, (f) + 11, -1, \
                   -1, -1, (f) + 2, -1, -1, -1, (f) + 5, -1, -1, -1, (f) + 8, -1, -1, -1,       \
                   (f) + 11, -1, -1, -1)
  const __m256i pairs0 = LUMIVANE_PAIRS(0), reds0 = LUMIVANE_REDS(0);
  const __m256i pairs4 = LUMIVANE_PAIRS(4), reds4 = LUMIVANE_REDS(4);
#undef LUMIVANE_PAIRS
#undef LUMIVANE_REDS
  // Bytes 0, 12, 24 and 36 of each lane's 48 start the four groups.
  const __m256i from0 = b.chunk[0];
  const __m256i from12 = _mm256_alignr_epi8(b.chunk[1], b.chunk[0], 12);
  const __m256i from24 = _mm256_alignr_epi8(b.chunk[2], b.chunk[1], 8);
  return {{GroupSums(from0, pairs0, reds0, w), GroupSums(from12, pairs0, reds0, w),
           GroupSums(from24, pairs0, reds0, w), GroupSums(b.chunk[2], pairs4, reds4, w)}};
}

// One byte per pixel, in pixel order (see Sums), from four registers of 32-bit lanes that hold
// values 0 .. 255.
LUMIVANE_AVX2 __m256i PackLevels(const Sums& s) {
  return _mm256_packus_epi16(_mm256_packs_epi32(s.group[0], s.group[1]),
                             _mm256_packs_epi32(s.group[2], s.group[3]));
}

// The same for comparison masks (every 32-bit lane -1 or 0): bytes 0xFF or 0.
LUMIVANE_AVX2 __m256i PackMasks(const Sums& s) {
  return _mm256_packs_epi16(_mm256_packs_epi32(s.group[0], s.group[1]),
                            _mm256_packs_epi32(s.group[2], s.group[3]));
}

// Calls block(s, d) for every block of 32 pixels of rows [first, end), s and d the block's first
// byte in source and destination; rows must hold at least 32 pixels. The last block of a row is
// moved back to end at the row's last pixel, overlapping the one before it, so some pixels are
// passed twice: fit for passes where each output pixel depends only on its own input pixel.
template <class Bitmap, class BlockPass>
LUMIVANE_AVX2 void ForEachBlock(const Bitmap& source, Bitmap& destination, std::int32_t first,
                                std::int32_t end, BlockPass&& block) {
  const std::int32_t width = source.Width();
  for (std::int32_t y = first; y < end; ++y) {
    const std::uint8_t* row = source.RowAt(y);
    std::uint8_t* out = destination.RowAt(y);
    for (std::int32_t x = 0;; x += kPixels) {
      if (x > width - kPixels) x = width - kPixels;
      block(row + 3 * static_cast<std::ptrdiff_t>(x), out + 3 * static_cast<std::ptrdiff_t>(x));
      if (x == width - kPixels) break;
    }
  }
}

// `bytes` (one byte per pixel, in pixel order) with the byte of every pixel flagged in `flags`
// (0xFF, as PackMasks gives them) replaced by value(i), i the pixel's index in the block.
// Flagged pixels are rare: a block without any costs one test.
template <class Value>
LUMIVANE_AVX2 __m256i ReplaceFlagged(__m256i bytes, __m256i flags, Value&& value) {
  if (_mm256_testz_si256(flags, flags)) return bytes;
  alignas(32) std::uint8_t values[kPixels];
  _mm256_store_si256(reinterpret_cast<__m256i*>(values), bytes);
  for (auto bits = static_cast<std::uint32_t>(_mm256_movemask_epi8(flags)); bits != 0;
       bits &= bits - 1) {
    const int i = __builtin_ctz(bits);
    values[i] = value(i);
  }
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(values));
}

// The 96 bytes of 32 pixels whose three channels all take the pixel's byte of `bytes` (laid out
// as PackLevels gives them), in the lane layout of Block.
LUMIVANE_AVX2 Block Triplicate(__m256i bytes) {
  const __m256i spread0 = _mm256_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5,  //
                                           0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
  const __m256i spread1 = _mm256_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10,  //
                                           5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
  const __m256i spread2 =
      _mm256_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15,  //
                       10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
  return {{_mm256_shuffle_epi8(bytes, spread0), _mm256_shuffle_epi8(bytes, spread1),
           _mm256_shuffle_epi8(bytes, spread2)}};
}

}  // namespace pixel_blocks
