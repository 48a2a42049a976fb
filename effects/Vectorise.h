// The tiers the pixel loops run in, chosen once per pass at run time:
//
// - Explicit AVX2 blocks (PixelBlocks.h): the weighted-gray passes (Grayscale, Sepia, Binarize)
//   and the copy-and-sum of MeanThreshold, written with AVX2 intrinsics 32 pixels at a time.
//   The compiler does not vectorise these loops well on its own: the three channels of a 24-bit
//   pixel have to be split and rejoined inside the registers, and the rare values that need the
//   extended evaluation have to leave the vector loop without stopping it.
// - Compiler-vectorised AVX2: every other loop, written plainly for the vectoriser and compiled
//   a second time for AVX2 by RunVectorised below. Rows too short for an explicit block also
//   take this tier.
// - Baseline: the same plain loops compiled for baseline x86-64 (SSE2), for processors without
//   AVX2 and for the tests, which switch AVX2 off to run this tier on any processor.
//
// Every tier computes the same integers, so results never depend on the processor: the tests
// compare the tiers byte for byte.
#pragma once

#include <cstdint>
#include <vector>

#include "RowBands.h"

#define LUMIVANE_INLINE [[gnu::always_inline]] inline

// Whether the AVX2 copies run: the processor has AVX2 and they are not switched off.
bool Avx2Enabled();

// Tests switch the AVX2 copies off to run the baseline ones on any processor. Not for use while
// an effect runs.
void SetAvx2Allowed(bool allowed);

namespace vectorise_detail {
template <class Body>
[[gnu::target("avx2")]] void RunAvx2(Body& body) {
  body();
}
template <class Body>
void RunBaseline(Body& body) {
  body();
}
}  // namespace vectorise_detail

// body must be a lambda declared LUMIVANE_LAMBDA whose pixel loops call only LUMIVANE_INLINE
// functions, so that each copy is generated for its own target.
template <class Body>
void RunVectorised(Body&& body) {
  if (Avx2Enabled())
    vectorise_detail::RunAvx2(body);
  else
    vectorise_detail::RunBaseline(body);
}

#define LUMIVANE_LAMBDA __attribute__((always_inline))

// A pass with an explicit AVX2 tier, its rows split into bands (ForEachRowBand):
// explicitPass(source, destination, first, end, band) for rows [first, end) when AVX2 runs and
// rows hold at least explicitWidth pixels; otherwise rowPass(s, scratch, d, width, band) for
// every row of the band, top first, in the other two tiers, with a scratch row of one byte per
// pixel. rowPass must be a LUMIVANE_LAMBDA. Returns the number of bands, so that a pass that
// gathers per band (0 .. bands - 1) can combine in band order.
template <class Bitmap, class ExplicitPass, class RowPass>
std::int32_t RunRowPass(const Bitmap& source, Bitmap& destination, std::int32_t explicitWidth,
                        ExplicitPass&& explicitPass, RowPass&& rowPass) {
  const std::int32_t width = source.Width();
  const std::int32_t height = source.Height();
  const std::int64_t pixels = std::int64_t{width} * height;
  const bool explicitTier = Avx2Enabled() && width >= explicitWidth;
  ForEachRowBand(pixels, height, [&](std::int32_t first, std::int32_t end, std::int32_t band) {
    if (explicitTier) {
      explicitPass(source, destination, first, end, band);
      return;
    }
    std::vector<std::uint8_t> scratch(static_cast<std::size_t>(width));
    RunVectorised([&]() LUMIVANE_LAMBDA {
      for (std::int32_t y = first; y < end; ++y)
        rowPass(source.RowAt(y), scratch.data(), destination.RowAt(y), width, band);
    });
  });
  return RowBandCount(pixels, height);
}

// Calls row(y) for every row of a picture of `width` x `height` pixels, the rows split into
// bands, each band in the vectorised tiers. row must be a LUMIVANE_LAMBDA.
template <class Row>
void ForEachRowVectorised(std::int32_t width, std::int32_t height, Row&& row) {
  ForEachRowBand(std::int64_t{width} * height, height,
                 [&](std::int32_t first, std::int32_t end, std::int32_t) {
                   RunVectorised([&]() LUMIVANE_LAMBDA {
                     for (std::int32_t y = first; y < end; ++y) row(y);
                   });
                 });
}
