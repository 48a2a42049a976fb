// The ten effects of the main window. Each takes the picture's handle with its ownership and
// returns the handle of its result (see EffectBass.h for the frame they share).
#pragma once

#include <array>
#include <cstdint>

#include "platform/bitmap.h"

// Colour point effects: each output pixel from the same input pixel.
HBITMAP Grayscale(HBITMAP h);
HBITMAP Negative(HBITMAP h);
HBITMAP Sepia(HBITMAP h);

// Binarisation in two passes. MeanThreshold returns a 24-bit copy of the picture and stores the
// rounded mean weighted gray in BinarizeThreshold; Binarize makes every pixel whose weighted
// gray lies above threshold white and every other pixel black.
extern std::int32_t BinarizeThreshold;
HBITMAP MeanThreshold(HBITMAP h);
HBITMAP Binarize(HBITMAP h, std::int32_t threshold);

// 3x3 convolution with edge replication: per channel, ClampByte(sum / divisor + bias), the
// division truncating toward zero. Weights are row-major, the row above first; divisor 1..255.
using Kernel3x3 = std::array<std::int16_t, 9>;
HBITMAP Convolve3x3(HBITMAP h, const Kernel3x3& kernel, std::uint8_t divisor, std::uint8_t bias);

struct ConvolutionFilter {
  Kernel3x3 kernel;
  std::uint8_t divisor;
  std::uint8_t bias;
};
inline constexpr ConvolutionFilter kBlurFilter{{1, 1, 1, 1, 1, 1, 1, 1, 1}, 9, 0};
inline constexpr ConvolutionFilter kSharpenFilter{{-1, -1, -1, -1, 24, -1, -1, -1, -1}, 16, 0};
inline constexpr ConvolutionFilter kColorEmbossFilter{{-1, -1, -1, 0, 1, 0, 1, 1, 1}, 1, 0};

HBITMAP Blur(HBITMAP h);         // Convolve3x3 with kBlurFilter
HBITMAP Sharpen(HBITMAP h);      // Convolve3x3 with kSharpenFilter
HBITMAP ColorEmboss(HBITMAP h);  // Convolve3x3 with kColorEmbossFilter

// Twice each channel's difference from its 3x3 box blur, lifted by 128.
HBITMAP UnsharpMask(HBITMAP h);

// Paints each 5x5 cell's top-left colour on a slanted band; pictures below 6x6 come back as the
// very handle passed in.
HBITMAP JaggedMosaic(HBITMAP h);

// Left to right.
HBITMAP Mirror(HBITMAP h);
