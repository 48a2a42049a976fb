// UnsharpMask: the high-frequency mask of the picture on a mid-grey ground.
#include "ConvolutionRows.h"
#include "EffectBass.h"
#include "effect_functions.h"

namespace {

constexpr std::int32_t kMaskGain = 2;
constexpr std::int32_t kMaskOffset = 128;

// a is the source's value, b the blurred value in d; computed in signed 32-bit integers.
LUMIVANE_INLINE void MaskRow(const std::uint8_t* __restrict s, std::uint8_t* __restrict d,
                             std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) {
    d[i] = ClampByte(kMaskGain * (s[i] - d[i]) + kMaskOffset);
  }
}

}  // namespace

// The blur of each row goes to the destination and is turned into the mask right away, while
// the row is still in the cache. Each blurred value comes from the unfiltered source and the
// mask of a pixel uses that pixel's values alone, so this gives the bytes of a blur pass over
// the whole picture followed by a mask pass.
HBITMAP UnsharpMask(HBITMAP h) {
  return RunEffectWithSourceRows(
      std::move(h), [](const TBitmap& source, TBitmap& destination, const RowTable& rows) {
        const std::size_t bytes = 3 * static_cast<std::size_t>(source.Width());
        ConvolveRows(rows, destination, source.Width(), kBlurFilter.kernel, kBlurFilter.divisor,
                     kBlurFilter.bias, [&](std::int32_t y, std::uint8_t* d) LUMIVANE_LAMBDA {
                       MaskRow(rows[static_cast<std::size_t>(y)], d, bytes);
                     });
      });
}
