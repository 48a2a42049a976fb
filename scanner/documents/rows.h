// Reaching a picture's rows, top first whatever their order in memory, and splitting rows
// between the cores.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "documents.h"

namespace documents {

// Whether the layout is one of the two kinds and fits in the bytes given.
bool LayoutFits(const PictureView& picture);

// A picture that LayoutFits has accepted, its rows reached top first.
class Rows {
 public:
  explicit Rows(const PictureView& picture);

  int Width() const { return width_; }
  int Height() const { return height_; }
  int Channels() const { return channels_; }
  // Bytes from one row to the next one down (negative for a bottom-up picture).
  std::ptrdiff_t Stride() const { return stride_; }
  const std::uint8_t* Row(int y) const { return top_ + stride_ * y; }
  const std::uint8_t* Pixel(int x, int y) const { return Row(y) + x * channels_; }

 private:
  int width_, height_, channels_;
  const std::uint8_t* top_;
  std::ptrdiff_t stride_;
};

// A picture of width x height in the layout asked for, its bytes not yet written, rows reached
// top first. Whoever fills a row clears its padding.
class RowsOut {
 public:
  RowsOut(Picture& picture, int width, int height, int channels, Layout layout);
  std::uint8_t* Row(int y) const { return top_ + stride_ * y; }
  void ClearPadding(int y) const;

 private:
  std::uint8_t* top_ = nullptr;
  std::ptrdiff_t stride_ = 0;
  std::size_t used_ = 0, padding_ = 0;
};

// Calls body(first, end) for bands of rows [0, rows) on as many threads as the machine has
// cores, the calling one among them, when the work (rows x rowCost) is worth the threads;
// returns when every band has finished. body must not throw.
void ForEachBand(int rows, std::int64_t rowCost, const std::function<void(int, int)>& body);

// Whether Straighten may use its AVX2 copy where the processor has AVX2 (tests switch it off to
// compare the plain copy with it, byte for byte).
void AllowAvx2(bool allowed);

}  // namespace documents
