// Mirror: the picture flipped left to right; rows keep their places.
#include <cstring>

#include "EffectBass.h"
#include "Vectorise.h"
#include "effect_functions.h"

namespace {

using Bytes16 = std::uint8_t __attribute__((vector_size(16)));

// Five pixels at a time: 16 bytes loaded from one byte before five source pixels, their order
// reversed by one byte shuffle (__builtin_shufflevector with constant indices, which GCC and
// clang both accept), 16 bytes stored. The 16th byte stored lands on the next destination
// pixel, which is written afterwards; no load or store leaves the row's pixels.
constexpr std::int32_t kBlock = 5;

LUMIVANE_INLINE void MirrorRow(const std::uint8_t* __restrict s, std::uint8_t* __restrict d,
                               std::int32_t width) {
  std::int32_t x = 0;
  // Source pixels width - 5 - x .. width - 1 - x, from byte 3 (width - 5 - x) - 1 onward.
  for (; x + kBlock + 1 <= width; x += kBlock) {
    Bytes16 block;
    std::memcpy(&block, s + 3 * static_cast<std::size_t>(width - kBlock - x) - 1, sizeof block);
    block =
        __builtin_shufflevector(block, block, 13, 14, 15, 10, 11, 12, 7, 8, 9, 4, 5, 6, 1, 2, 3, 0);
    std::memcpy(d + 3 * static_cast<std::size_t>(x), &block, sizeof block);
  }
  for (; x < width; ++x) {
    const std::uint8_t* p = s + 3 * static_cast<std::size_t>(width - 1 - x);
    d[3 * x] = p[0];
    d[3 * x + 1] = p[1];
    d[3 * x + 2] = p[2];
  }
}

}  // namespace

HBITMAP Mirror(HBITMAP h) {
  return RunEffect(std::move(h), [](const TBitmap& source, TBitmap& destination) {
    const std::int32_t width = source.Width();
    ForEachRowVectorised(width, source.Height(), [&](std::int32_t y) LUMIVANE_LAMBDA {
      MirrorRow(source.RowAt(y), destination.RowAt(y), width);
    });
  });
}
