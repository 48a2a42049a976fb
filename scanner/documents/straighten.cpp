// Turning a document upright: every pixel of the result is read from the picture at the point
// the rectangle's turn takes it to, between the four pixels around that point. Points off the
// picture read its nearest pixel.
//
// In fixed point, the same integers in both tiers (plain code, and AVX2 where the processor has
// it): a row of the result walks the picture in steps kept to 32 fractional bits; each block of
// eight pixels of the row starts from that walk and steps on in 16 fractional bits; a position's
// fraction is rounded to 1/64 pixel, the weights of the four pixels are products of 64ths.
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>

#include "documents.h"
#include "geometry.h"
#include "rows.h"

namespace documents {
namespace {

constexpr double kOne = 4294967296.0;  // 1 in 32.32 fixed point
constexpr int kBlock = 8;
constexpr int kWeightBits = 6;
constexpr int kWeightOne = 1 << kWeightBits;
constexpr int kRound = 1 << (2 * kWeightBits - 1);
// Keeps the fast range of a row clear of the picture's last columns and row by rounding's width.
constexpr double kMargin = 1e-3;

std::atomic<bool> avx2Allowed{true};

bool Avx2() {
  static const bool have = __builtin_cpu_supports("avx2");
  return have && avx2Allowed;
}

// A row of the result as it walks the picture (pixel-index space: pixel (0, 0) at 0).
struct Walk {
  std::int64_t x, y;    // the row's first pixel, 32.32
  std::int64_t dx, dy;  // one pixel along the row, 32.32
  std::int32_t dx16, dy16;

  // Pixel i's position, 16.16.
  std::int64_t X(int i) const {
    const int first = i & ~(kBlock - 1);
    return ((x + first * dx) >> 16) + (i - first) * std::int64_t{dx16};
  }
  std::int64_t Y(int i) const {
    const int first = i & ~(kBlock - 1);
    return ((y + first * dy) >> 16) + (i - first) * std::int64_t{dy16};
  }
};

int Weight(std::int64_t position) {
  return static_cast<int>(((position & 0xFFFF) + (1 << (15 - kWeightBits))) >> (16 - kWeightBits));
}

template <int kChannels>
[[gnu::always_inline]] inline void Blend(const std::uint8_t* pa, const std::uint8_t* pb,
                                         const std::uint8_t* qa, const std::uint8_t* qb, int fx,
                                         int fy, std::uint8_t* out) {
  for (int c = 0; c < kChannels; ++c) {
    const int top = pa[c] * (kWeightOne - fx) + pb[c] * fx;
    const int bottom = qa[c] * (kWeightOne - fx) + qb[c] * fx;
    out[c] = static_cast<std::uint8_t>((top * (kWeightOne - fy) + bottom * fy + kRound) >>
                                       (2 * kWeightBits));
  }
}

// Pixels [first, end) of a row, any position, the picture's edge repeated beyond it.
template <int kChannels>
void EdgePixels(const Rows& picture, const Walk& walk, int first, int end, std::uint8_t* row) {
  const int w = picture.Width(), h = picture.Height();
  for (int i = first; i < end; ++i) {
    const std::int64_t X = walk.X(i), Y = walk.Y(i);
    const std::int64_t xi = X >> 16, yi = Y >> 16;
    const auto xa = static_cast<int>(std::clamp<std::int64_t>(xi, 0, w - 1));
    const auto xb = static_cast<int>(std::clamp<std::int64_t>(xi + 1, 0, w - 1));
    const auto ya = static_cast<int>(std::clamp<std::int64_t>(yi, 0, h - 1));
    const auto yb = static_cast<int>(std::clamp<std::int64_t>(yi + 1, 0, h - 1));
    Blend<kChannels>(picture.Pixel(xa, ya), picture.Pixel(xb, ya), picture.Pixel(xa, yb),
                     picture.Pixel(xb, yb), Weight(X), Weight(Y), row + i * kChannels);
  }
}

// Pixels [first, end) of a row whose four pixels lie on the picture.
template <int kChannels>
void InnerPixels(const Rows& picture, const Walk& walk, int first, int end, std::uint8_t* row) {
  const std::uint8_t* top = picture.Row(0);
  const std::ptrdiff_t stride = picture.Stride();
  for (int i = first; i < end; ++i) {
    const std::int64_t X = walk.X(i), Y = walk.Y(i);
    const std::uint8_t* p = top + (Y >> 16) * stride + (X >> 16) * kChannels;
    Blend<kChannels>(p, p + kChannels, p + stride, p + stride + kChannels, Weight(X), Weight(Y),
                     row + i * kChannels);
  }
}

// The AVX2 tier: blocks [first, end) of a row (first and end multiples of kBlock) whose reads
// stay inside the picture's rows.
struct Lanes {
  __m256i x, y, fx, fy, offset;
};

[[gnu::target("avx2")]] inline Lanes BlockLanes(const Walk& walk, int i, std::int32_t stride,
                                                int channels) {
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  Lanes l;
  l.x = _mm256_add_epi32(_mm256_set1_epi32(static_cast<std::int32_t>((walk.x + i * walk.dx) >> 16)),
                         _mm256_mullo_epi32(lane, _mm256_set1_epi32(walk.dx16)));
  l.y = _mm256_add_epi32(_mm256_set1_epi32(static_cast<std::int32_t>((walk.y + i * walk.dy) >> 16)),
                         _mm256_mullo_epi32(lane, _mm256_set1_epi32(walk.dy16)));
  const __m256i low = _mm256_set1_epi32(0xFFFF), half = _mm256_set1_epi32(1 << (15 - kWeightBits));
  l.fx = _mm256_srli_epi32(_mm256_add_epi32(_mm256_and_si256(l.x, low), half), 16 - kWeightBits);
  l.fy = _mm256_srli_epi32(_mm256_add_epi32(_mm256_and_si256(l.y, low), half), 16 - kWeightBits);
  const __m256i xi = _mm256_srai_epi32(l.x, 16), yi = _mm256_srai_epi32(l.y, 16);
  l.offset = _mm256_add_epi32(_mm256_mullo_epi32(yi, _mm256_set1_epi32(stride)),
                              _mm256_mullo_epi32(xi, _mm256_set1_epi32(channels)));
  return l;
}

// (64 - fy, fy) as the two 16-bit halves of each lane.
[[gnu::target("avx2")]] inline __m256i VerticalWeights(__m256i fy) {
  return _mm256_or_si256(_mm256_sub_epi32(_mm256_set1_epi32(kWeightOne), fy),
                         _mm256_slli_epi32(fy, 16));
}

// Eight bytes from each of four places, one 64-bit lane each (plain loads: a gather is slower
// on some processors).
[[gnu::target("avx2")]] inline __m256i Load4(const std::uint8_t* base,
                                             const std::int32_t* offsets) {
  std::array<long long, 4> q{};
  for (std::size_t k = 0; k < q.size(); ++k) std::memcpy(&q[k], base + offsets[k], sizeof q[k]);
  return _mm256_setr_epi64x(q[0], q[1], q[2], q[3]);
}

[[gnu::target("avx2")]] void ColourBlocks(const Rows& picture, const Walk& walk, int first, int end,
                                          std::uint8_t* row) {
  const std::uint8_t* top = picture.Row(0);
  const std::uint8_t* below = top + picture.Stride();
  const auto stride = static_cast<std::int32_t>(picture.Stride());
  // a0 a1 a2 b0 b1 b2 . . -> a0 b0 a1 b1 a2 b2 0 0, in each 8 bytes.
  const __m256i pairs = _mm256_setr_epi8(0, 3, 1, 4, 2, 5, -1, -1, 8, 11, 9, 12, 10, 13, -1, -1, 0,
                                         3, 1, 4, 2, 5, -1, -1, 8, 11, 9, 12, 10, 13, -1, -1);
  const __m128i keep = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const __m256i round = _mm256_set1_epi32(kRound);
  alignas(32) std::array<std::int32_t, kBlock> offsets{};
  for (int i = first; i < end; i += kBlock) {
    const Lanes l = BlockLanes(walk, i, stride, 3);
    _mm256_store_si256(reinterpret_cast<__m256i*>(offsets.data()), l.offset);
    // (64 - fx) and fx as bytes, for a pixel's three channels: w w w 0 in 16-bit words.
    const __m256i wx = _mm256_or_si256(_mm256_sub_epi32(_mm256_set1_epi32(kWeightOne), l.fx),
                                       _mm256_slli_epi32(l.fx, 8));
    const __m256i wy = VerticalWeights(l.fy);
    for (int half = 0; half < 2; ++half) {
      const int p = 4 * half;
      const __m256i upper = _mm256_shuffle_epi8(Load4(top, offsets.data() + p), pairs);
      const __m256i lower = _mm256_shuffle_epi8(Load4(below, offsets.data() + p), pairs);
      const __m256i w64 = _mm256_cvtepu32_epi64(half == 0 ? _mm256_castsi256_si128(wx)
                                                          : _mm256_extracti128_si256(wx, 1));
      const __m256i weights = _mm256_or_si256(_mm256_mul_epu32(w64, _mm256_set1_epi64x(0x00010001)),
                                              _mm256_slli_epi64(w64, 32));
      const __m256i t = _mm256_maddubs_epi16(upper, weights);
      const __m256i b = _mm256_maddubs_epi16(lower, weights);
      // Lane 0 holds pixels 0 and 1 of the half, lane 1 pixels 2 and 3.
      const __m256i wy0 = _mm256_permutevar8x32_epi32(
          wy, _mm256_setr_epi32(p, p, p, p, p + 2, p + 2, p + 2, p + 2));
      const __m256i wy1 = _mm256_permutevar8x32_epi32(
          wy, _mm256_setr_epi32(p + 1, p + 1, p + 1, p + 1, p + 3, p + 3, p + 3, p + 3));
      const __m256i r0 = _mm256_srai_epi32(
          _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(t, b), wy0), round),
          2 * kWeightBits);
      const __m256i r1 = _mm256_srai_epi32(
          _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(t, b), wy1), round),
          2 * kWeightBits);
      const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(r0, r1), _mm256_setzero_si256());
      // Lane 0: pixels 0, 1 (c0 c1 c2 0 each); lane 1: pixels 2, 3.
      const __m128i four =
          _mm_unpacklo_epi64(_mm256_castsi256_si128(bytes), _mm256_extracti128_si256(bytes, 1));
      const __m128i packed = _mm_shuffle_epi8(four, keep);
      std::uint8_t* out = row + 3 * (i + p);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out), packed);
      const auto last = static_cast<std::uint32_t>(_mm_extract_epi32(packed, 2));
      std::memcpy(out + 8, &last, sizeof last);
    }
  }
}

[[gnu::target("avx2")]] void GrayBlocks(const Rows& picture, const Walk& walk, int first, int end,
                                        std::uint8_t* row) {
  const std::uint8_t* top = picture.Row(0);
  const std::uint8_t* below = top + picture.Stride();
  const auto stride = static_cast<std::int32_t>(picture.Stride());
  const __m256i round = _mm256_set1_epi32(kRound);
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  alignas(32) std::array<std::int32_t, kBlock> offsets{};
  for (int i = first; i < end; i += kBlock) {
    const Lanes l = BlockLanes(walk, i, stride, 1);
    _mm256_store_si256(reinterpret_cast<__m256i*>(offsets.data()), l.offset);
    // The pixel and its right neighbour above, the same below: a b c d in each lane.
    std::array<std::int32_t, kBlock> four{};
    for (std::size_t k = 0; k < four.size(); ++k) {
      std::uint16_t a = 0, b = 0;
      std::memcpy(&a, top + offsets[k], sizeof a);
      std::memcpy(&b, below + offsets[k], sizeof b);
      four[k] = static_cast<std::int32_t>(a | static_cast<std::uint32_t>(b) << 16);
    }
    const __m256i wx = _mm256_or_si256(_mm256_sub_epi32(_mm256_set1_epi32(kWeightOne), l.fx),
                                       _mm256_slli_epi32(l.fx, 8));
    const __m256i weights = _mm256_or_si256(wx, _mm256_slli_epi32(wx, 16));
    const __m256i tb = _mm256_maddubs_epi16(
        _mm256_load_si256(reinterpret_cast<const __m256i*>(four.data())), weights);
    const __m256i r = _mm256_srai_epi32(
        _mm256_add_epi32(_mm256_madd_epi16(tb, VerticalWeights(l.fy)), round), 2 * kWeightBits);
    const __m256i words = _mm256_packs_epi32(r, r);           // 0 1 2 3 0 1 2 3 | 4 5 6 7 ...
    const __m256i bytes = _mm256_packus_epi16(words, words);  // 0 1 2 3 ... | 4 5 6 7 ...
    const __m256i ordered = _mm256_permutevar8x32_epi32(bytes, order);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(row + i), _mm256_castsi256_si128(ordered));
  }
}

struct Turn {
  double x0, y0;  // where the first pixel of the result's row 0 is read (pixel-index space)
  double dx, dy;  // one pixel along a row of the result
  double rx, ry;  // one row down
};

// The pixels [first, end) of a row of the result whose positions lie in [0, limitX] x
// [0, limitY], by a margin (positions in 16.16 fall a little off those the doubles give).
void InnerRange(double x, double y, double dx, double dy, double limitX, double limitY, int width,
                int& first, int& end) {
  double lo = 0, hi = width - 1;
  auto limit = [&](double start, double step, double top) {
    if (step == 0) {
      if (start < kMargin || start > top - kMargin) hi = -1;
      return;
    }
    const double a = (kMargin - start) / step, b = (top - kMargin - start) / step;
    lo = std::max(lo, std::min(a, b));
    hi = std::min(hi, std::max(a, b));
  };
  limit(x, dx, limitX);
  limit(y, dy, limitY);
  first = static_cast<int>(std::clamp(std::ceil(lo), 0.0, static_cast<double>(width)));
  end = static_cast<int>(
      std::clamp(std::floor(hi) + 1, static_cast<double>(first), static_cast<double>(width)));
}

template <int kChannels>
void TurnRows(const Rows& picture, const RowsOut& out, const Turn& turn, int width, int first,
              int end, bool avx2) {
  const int w = picture.Width(), h = picture.Height();
  const auto fixed = [](double v) { return std::llround(v * kOne); };
  for (int j = first; j < end; ++j) {
    const double x = turn.x0 + j * turn.rx, y = turn.y0 + j * turn.ry;
    const Walk walk{fixed(x),
                    fixed(y),
                    fixed(turn.dx),
                    fixed(turn.dy),
                    static_cast<std::int32_t>(std::lround(turn.dx * 65536)),
                    static_cast<std::int32_t>(std::lround(turn.dy * 65536))};
    std::uint8_t* row = out.Row(j);
    // Where the four pixels lie on the picture; where, besides, AVX2's eight bytes from a
    // colour pixel (its own, its neighbour's, two more) do, in whole blocks.
    int inner0 = 0, inner1 = 0, wide0 = 0, wide1 = 0;
    InnerRange(x, y, turn.dx, turn.dy, w - 1, h - 1, width, inner0, inner1);
    if (avx2) {
      InnerRange(x, y, turn.dx, turn.dy, kChannels == 3 ? w - 2 : w - 1, h - 1, width, wide0,
                 wide1);
      wide0 = std::max((wide0 + kBlock - 1) & ~(kBlock - 1), inner0);
      wide1 = std::max(wide0, wide1 & ~(kBlock - 1));
    }
    EdgePixels<kChannels>(picture, walk, 0, inner0, row);
    if (wide1 > wide0) {
      InnerPixels<kChannels>(picture, walk, inner0, wide0, row);
      if constexpr (kChannels == 3)
        ColourBlocks(picture, walk, wide0, wide1, row);
      else
        GrayBlocks(picture, walk, wide0, wide1, row);
      InnerPixels<kChannels>(picture, walk, wide1, inner1, row);
    } else {
      InnerPixels<kChannels>(picture, walk, inner0, inner1, row);
    }
    EdgePixels<kChannels>(picture, walk, inner1, width, row);
    out.ClearPadding(j);
  }
}

// The whole pixels of the picture in [x0, x1) x [y0, y1), copied as they are.
Straightened Copy(const Rows& picture, int x0, int y0, int x1, int y1, Layout layout) {
  Straightened result;
  x0 = std::max(x0, 0);
  y0 = std::max(y0, 0);
  x1 = std::min(x1, picture.Width());
  y1 = std::min(y1, picture.Height());
  if (x1 <= x0 || y1 <= y0) return result;
  const int channels = picture.Channels();
  const RowsOut out(result.picture, x1 - x0, y1 - y0, channels, layout);
  for (int y = y0; y < y1; ++y) {
    std::memcpy(out.Row(y - y0), picture.Pixel(x0, y),
                static_cast<std::size_t>(x1 - x0) * static_cast<std::size_t>(channels));
    out.ClearPadding(y - y0);
  }
  return result;
}

bool Usable(const RotatedRect& r) {
  for (const double v : {r.centerX, r.centerY, r.width, r.height, r.degrees})
    if (!std::isfinite(v)) return false;
  return r.width > 0 && r.height > 0;
}

}  // namespace

void AllowAvx2(bool allowed) {
  avx2Allowed = allowed;
}

Straightened Straighten(const PictureView& view, const RotatedRect& document, Layout layout) {
  if (!LayoutFits(view) || !Usable(document)) return {};
  const Rows picture(view);
  const RotatedRect r = Normalised(document);
  const double c = std::cos(Radians(r.degrees)), s = std::sin(Radians(r.degrees));
  // The rectangle's upright bounding box; nothing when it misses the picture, or when it could
  // not lie on it (no document is larger than the glass).
  const double halfW = (std::abs(c) * r.width + std::abs(s) * r.height) / 2;
  const double halfH = (std::abs(s) * r.width + std::abs(c) * r.height) / 2;
  if (r.centerX + halfW <= 0 || r.centerY + halfH <= 0 || r.centerX - halfW >= view.width ||
      r.centerY - halfH >= view.height ||
      r.width * r.height > static_cast<double>(view.width) * view.height ||
      std::max(r.width, r.height) > std::hypot(view.width, view.height))
    return {};

  if (std::abs(r.degrees) > kMaxStraightenDegrees) {
    Straightened result = Copy(picture, static_cast<int>(std::floor(r.centerX - halfW)),
                               static_cast<int>(std::floor(r.centerY - halfH)),
                               static_cast<int>(std::ceil(r.centerX + halfW)),
                               static_cast<int>(std::ceil(r.centerY + halfH)), layout);
    result.takenAsUpright = true;
    return result;
  }

  const int width = std::max(1, static_cast<int>(std::floor(r.width - 2 * kStraightenRim + 1e-9)));
  const int height =
      std::max(1, static_cast<int>(std::floor(r.height - 2 * kStraightenRim + 1e-9)));
  if (std::abs(s) * std::max(width, height) < 0.5) {
    const auto x0 = static_cast<int>(std::lround(r.centerX - width / 2.0));
    const auto y0 = static_cast<int>(std::lround(r.centerY - height / 2.0));
    return Copy(picture, x0, y0, x0 + width, y0 + height, layout);
  }

  // The result's pixel (i, j) has its centre at (i + 0.5 - width / 2, j + 0.5 - height / 2)
  // from the rectangle's centre, along the rectangle's sides.
  const double u = 0.5 - width / 2.0, v = 0.5 - height / 2.0;
  const Turn turn{r.centerX + u * c - v * s - 0.5, r.centerY + u * s + v * c - 0.5, c, s, -s, c};
  // AVX2 reaches pixels by 32-bit byte offsets from the top row.
  const bool avx2 =
      Avx2() && std::int64_t{view.height} * std::abs(std::int64_t{view.bytesPerLine}) < (1LL << 31);
  Straightened result;
  const RowsOut out(result.picture, width, height, view.channels, layout);
  ForEachBand(height, std::int64_t{width} * view.channels, [&](int first, int end) {
    if (view.channels == 3)
      TurnRows<3>(picture, out, turn, width, first, end, avx2);
    else
      TurnRows<1>(picture, out, turn, width, first, end, avx2);
  });
  return result;
}

}  // namespace documents
