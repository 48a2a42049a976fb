#include "rows.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

namespace documents {
namespace {

// Below this much work a band is not worth starting a thread for.
constexpr std::int64_t kWorkPerThread = std::int64_t{1} << 16;
constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;

}  // namespace

bool LayoutFits(const PictureView& picture) {
  if (picture.width <= 0 || picture.height <= 0) return false;
  if (picture.channels != 1 && picture.channels != 3) return false;
  const std::int64_t row = std::int64_t{picture.width} * picture.channels;
  if (picture.bytesPerLine < row) return false;
  const std::int64_t needed = std::int64_t{picture.height - 1} * picture.bytesPerLine + row;
  return static_cast<std::int64_t>(picture.pixels.size()) >= needed;
}

Rows::Rows(const PictureView& picture)
    : width_(picture.width),
      height_(picture.height),
      channels_(picture.channels),
      top_(picture.pixels.data()),
      stride_(picture.bytesPerLine) {
  if (picture.bottomUp) {
    top_ += stride_ * (height_ - 1);
    stride_ = -stride_;
  }
}

RowsOut::RowsOut(Picture& picture, int width, int height, int channels, Layout layout) {
  const int alignment = std::max(layout.rowAlignment, 1);
  const int row = width * channels;
  picture.width = width;
  picture.height = height;
  picture.channels = channels;
  picture.bottomUp = layout.bottomUp;
  picture.bytesPerLine = (row + alignment - 1) / alignment * alignment;
  const std::size_t bytes =
      static_cast<std::size_t>(picture.bytesPerLine) * static_cast<std::size_t>(height);
  // A large result is first touched a page at a time: with pages of 4 KiB that is a fault per
  // 4 KiB, which can cost more than the whole turn. Huge pages where the system offers them;
  // the bytes are first written by the threads that fill the rows.
  picture.pixels.clear();
  picture.pixels.reserve(bytes);
  const std::size_t skip =
      (kHugePage - reinterpret_cast<std::uintptr_t>(picture.pixels.data()) % kHugePage) % kHugePage;
  if (bytes > skip + kHugePage)
    static_cast<void>(::madvise(picture.pixels.data() + skip,
                                (bytes - skip) / kHugePage * kHugePage, MADV_HUGEPAGE));
  picture.pixels.resize(bytes);
  top_ = picture.pixels.data();
  stride_ = picture.bytesPerLine;
  used_ = static_cast<std::size_t>(row);
  padding_ = static_cast<std::size_t>(picture.bytesPerLine - row);
  if (layout.bottomUp) {
    top_ += stride_ * (height - 1);
    stride_ = -stride_;
  }
}

void RowsOut::ClearPadding(int y) const {
  if (padding_ != 0) std::memset(Row(y) + used_, 0, padding_);
}

void ForEachBand(int rows, std::int64_t rowCost, const std::function<void(int, int)>& body) {
  const auto cores = static_cast<std::int64_t>(std::max(1u, std::thread::hardware_concurrency()));
  const std::int64_t worth =
      std::int64_t{rows} * std::max<std::int64_t>(rowCost, 1) / kWorkPerThread;
  const int bands = static_cast<int>(std::clamp<std::int64_t>(std::min(worth, cores), 1, rows));
  std::vector<std::jthread> helpers;
  int done = 0;  // bands 1.. that did not get a thread of their own run here
  for (int band = bands - 1; band >= 1; --band) {
    const int first = static_cast<int>(std::int64_t{rows} * band / bands);
    const int end = static_cast<int>(std::int64_t{rows} * (band + 1) / bands);
    try {
      helpers.emplace_back([&body, first, end] { body(first, end); });
    } catch (const std::system_error&) {
      done = band;  // no thread to be had: this band and those above it run here
      break;
    }
  }
  body(0, static_cast<int>(std::int64_t{rows} * 1 / bands));
  for (int band = 1; band <= done; ++band)
    body(static_cast<int>(std::int64_t{rows} * band / bands),
         static_cast<int>(std::int64_t{rows} * (band + 1) / bands));
}

}  // namespace documents
