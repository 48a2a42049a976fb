// JaggedMosaic: each 5x5 cell spreads the colour of its top-left pixel over a slanted band.
#include <algorithm>
#include <cstring>
#include <vector>

#include "EffectBass.h"
#include "RowBands.h"
#include "effect_functions.h"

namespace {

constexpr std::int32_t kCellSize = 5;
constexpr std::int32_t kMinimumSize = 6;
// The band: row offsets 1 .. 5 from the cell's top-left pixel; in row offset i the column
// offsets i + 1 .. i + 3.
constexpr std::int32_t kBandRows = 5;
constexpr std::int32_t kBandWidth = 3;
// The farthest column offset of a band.
constexpr std::int32_t kBandReach = kBandRows + kBandWidth;

using DestinationRows = std::vector<std::uint8_t*>;

void PaintCell(const DestinationRows& rows, std::int32_t width, std::int32_t height,
               std::int32_t left, std::int32_t top, const std::uint8_t colour[3]) {
  if (left + kBandReach <= width - 1 && top + kBandRows <= height - 1) {
    // Nothing folds onto the last row or column, and no other band reaches these pixels.
    std::uint8_t run[3 * kBandWidth];
    for (std::int32_t j = 0; j < kBandWidth; ++j) std::memcpy(run + 3 * j, colour, 3);
    for (std::int32_t i = 1; i <= kBandRows; ++i)
      std::memcpy(
          rows[static_cast<std::size_t>(top) + static_cast<std::size_t>(i)] + 3 * (left + i + 1),
          run, sizeof run);
    return;
  }
  // Positions beyond the picture fold onto its last row and column; the later write wins.
  for (std::int32_t i = 1; i <= kBandRows; ++i) {
    std::uint8_t* row = rows[static_cast<std::size_t>(std::min(top + i, height - 1))];
    for (std::int32_t j = 1; j <= kBandWidth; ++j) {
      const std::int32_t tx = std::min(left + i + j, width - 1);
      std::memcpy(row + 3 * tx, colour, 3);
    }
  }
}

// Cell row cy paints destination rows 5cy + 1 .. 5cy + 5 (the last one folds onto the last
// row, which no other cell row reaches), so the cell rows split into bands without two bands
// writing the same row; within a cell row the cells keep their order.
void Paint(const TBitmap& source, const DestinationRows& rows) {
  const std::int32_t width = source.Width();
  const std::int32_t height = source.Height();
  const std::int32_t cellColumns = width / kCellSize;
  const std::int32_t cellRows = height / kCellSize;
  ForEachRowBand(std::int64_t{width} * height, cellRows,
                 [&](std::int32_t first, std::int32_t end, std::int32_t) {
                   for (std::int32_t cy = first; cy < end; ++cy) {
                     const std::uint8_t* s = source.RowAt(kCellSize * cy);
                     for (std::int32_t cx = 0; cx < cellColumns; ++cx) {
                       const std::uint8_t* colour = s + 3 * kCellSize * cx;
                       PaintCell(rows, width, height, kCellSize * cx, kCellSize * cy, colour);
                     }
                   }
                 });
}

}  // namespace

// Small pictures come back as they are, and the destination starts as a copy of the converted
// source; its row table is filled in the protected region.
HBITMAP JaggedMosaic(HBITMAP h) {
  if (!h || h->Width() < kMinimumSize || h->Height() < kMinimumSize) return h;
  return RunEffectFrame(
      std::move(h),
      [](TBitmap& source, TBitmap& destination) {
        source.ConvertTo24Bit();
        destination.Assign(source);
        return DestinationRows(static_cast<std::size_t>(destination.Height()));
      },
      [](const TBitmap& source, TBitmap& destination, DestinationRows& rows) {
        for (std::int32_t y = 0; y < destination.Height(); ++y)
          rows[static_cast<std::size_t>(y)] = destination.RowAt(y);
        Paint(source, rows);
      });
}
