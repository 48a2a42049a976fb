// The rows of a pixel pass split into bands that run at the same time, one per core. Every
// pass that goes through here writes each output row from source rows alone, so the bands can
// run in any order and the bytes never change. Small pictures stay on the calling thread.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <vector>

// Pictures below this many pixels run in one band: threads would cost more than they save.
inline constexpr std::int64_t kRowBandMinimumPixels = std::int64_t{1} << 20;

// Tests force a number of bands for every picture, whatever its size; 0 restores the default
// (one per core above kRowBandMinimumPixels). Not for use while an effect runs.
void SetRowBandsForTesting(std::int32_t bands);

// How many bands a pass over `rows` rows of a picture of `pixels` pixels is split into.
std::int32_t RowBandCount(std::int64_t pixels, std::int32_t rows);

namespace row_bands_detail {
// Runs band(0) .. band(count - 1), on the shared threads and the calling one, and returns when
// all have finished. band must not throw.
void RunBands(std::int32_t count, const std::function<void(std::int32_t)>& band);
}  // namespace row_bands_detail

// Calls body(first, end, band) for the bands of rows [0, rows) that RowBandCount gives, band
// by band top to bottom, each band possibly on its own thread. When bodies fail, the failure of
// the topmost failing band propagates on the calling thread after all bands have finished.
template <class Body>
void ForEachRowBand(std::int64_t pixels, std::int32_t rows, Body&& body) {
  const std::int32_t count = RowBandCount(pixels, rows);
  if (count <= 1) {
    body(std::int32_t{0}, rows, std::int32_t{0});
    return;
  }
  std::vector<std::exception_ptr> failures(static_cast<std::size_t>(count));
  row_bands_detail::RunBands(count, [&](std::int32_t band) {
    const auto first = static_cast<std::int32_t>(std::int64_t{rows} * band / count);
    const auto end = static_cast<std::int32_t>(std::int64_t{rows} * (band + 1) / count);
    try {
      body(first, end, band);
    } catch (...) {
      failures[static_cast<std::size_t>(band)] = std::current_exception();
    }
  });
  for (const std::exception_ptr& failure : failures)
    if (failure) std::rethrow_exception(failure);
}
