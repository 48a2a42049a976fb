// The 3x3 convolution engine and the three filters of the main window.
#include "ConvolutionRows.h"
#include "EffectBass.h"
#include "effect_functions.h"

HBITMAP Convolve3x3(HBITMAP h, const Kernel3x3& kernel, std::uint8_t divisor, std::uint8_t bias) {
  return RunEffectWithSourceRows(
      std::move(h), [&](const TBitmap& source, TBitmap& destination, const RowTable& rows) {
        ConvolveRows(rows, destination, source.Width(), kernel, divisor, bias,
                     [](std::int32_t, std::uint8_t*) LUMIVANE_LAMBDA {});
      });
}

HBITMAP Blur(HBITMAP h) {
  return Convolve3x3(std::move(h), kBlurFilter.kernel, kBlurFilter.divisor, kBlurFilter.bias);
}

HBITMAP Sharpen(HBITMAP h) {
  return Convolve3x3(std::move(h), kSharpenFilter.kernel, kSharpenFilter.divisor,
                     kSharpenFilter.bias);
}

HBITMAP ColorEmboss(HBITMAP h) {
  return Convolve3x3(std::move(h), kColorEmbossFilter.kernel, kColorEmbossFilter.divisor,
                     kColorEmbossFilter.bias);
}
