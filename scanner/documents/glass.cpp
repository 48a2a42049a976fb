#include "glass.h"

#include <cmath>
#include <cstddef>

namespace documents {
namespace {

// A difference from the glass smaller than this is the glass itself (paper grain, uneven
// lighting); the border's own noise can raise it, up to kMaxDifference.
constexpr int kMinDifference = 24;
constexpr int kMaxDifference = 100;
// The noise's spread estimated from the median absolute difference (for normal noise).
constexpr double kMadToSigma = 1.4826;
constexpr double kNoiseSigmas = 4.0;

using Histogram = std::array<int, 256>;

// The sides of the picture, in the order that breaks a tie between two readings of the glass:
// a document is usually laid at the glass's origin, top left, so the bottom and right sides are
// the likeliest to show bare glass.
enum Side { kBottom, kRight, kTop, kLeft, kSides };

struct Region {
  int x0, y0, x1, y1;  // right and bottom excluded
};

template <typename Visit>
void ForEach(const Region& region, Visit visit) {
  for (int y = region.y0; y < region.y1; ++y)
    for (int x = region.x0; x < region.x1; ++x) visit(x, y);
}

int MedianOf(const Histogram& histogram) {
  long long total = 0;
  for (const int count : histogram) total += count;
  long long seen = 0;
  for (int value = 0; value < 256; ++value) {
    seen += histogram[static_cast<std::size_t>(value)];
    if (2 * seen >= total) return value;
  }
  return 255;
}

std::size_t Index(int i) {
  return static_cast<std::size_t>(i);
}

}  // namespace

Glass EstimateGlass(const Rows& picture) {
  const int w = picture.Width(), h = picture.Height(), channels = picture.Channels();
  const int band = std::clamp(std::min(w, h) / 32, 1, 8);
  std::array<Region, kSides> sides{};
  sides[kTop] = {0, 0, w, band};
  sides[kBottom] = {0, h - band, w, h};
  sides[kLeft] = {0, band, band, h - band};
  sides[kRight] = {w - band, band, w, h - band};

  std::array<std::array<Histogram, 3>, kSides> histograms{};
  std::array<std::array<int, 3>, kSides> medians{};
  for (int s = 0; s < kSides; ++s) {
    auto& side = histograms[Index(s)];
    ForEach(sides[Index(s)], [&](int x, int y) {
      const std::uint8_t* p = picture.Pixel(x, y);
      for (int c = 0; c < channels; ++c) ++side[Index(c)][p[c]];
    });
    for (int c = 0; c < channels; ++c) medians[Index(s)][Index(c)] = MedianOf(side[Index(c)]);
  }

  auto agree = [&](int a, int b) {
    for (int c = 0; c < channels; ++c)
      if (std::abs(medians[Index(a)][Index(c)] - medians[Index(b)][Index(c)]) > kMinDifference)
        return false;
    return true;
  };
  std::array<bool, kSides> chosen{};
  int best = -1;
  for (int s = 0; s < kSides; ++s) {
    int agreeing = 0;
    for (int t = 0; t < kSides; ++t) agreeing += agree(s, t);
    if (agreeing > best) {
      best = agreeing;
      for (int t = 0; t < kSides; ++t) chosen[Index(t)] = agree(s, t);
    }
  }

  Glass glass;
  for (int c = 0; c < channels; ++c) {
    Histogram sum{};
    for (int s = 0; s < kSides; ++s)
      if (chosen[Index(s)])
        for (std::size_t v = 0; v < sum.size(); ++v) sum[v] += histograms[Index(s)][Index(c)][v];
    glass.colour[Index(c)] = MedianOf(sum);
  }

  Histogram differences{};
  for (int s = 0; s < kSides; ++s)
    if (chosen[Index(s)])
      ForEach(sides[Index(s)], [&](int x, int y) {
        ++differences[Index(Difference(picture.Pixel(x, y), channels, glass))];
      });
  const double sigma = kMadToSigma * MedianOf(differences);
  glass.threshold =
      std::clamp(static_cast<int>(std::ceil(kNoiseSigmas * sigma)), kMinDifference, kMaxDifference);
  return glass;
}

Reduced::Reduced(const Rows& picture, int longestSide)
    : factor_(std::max(
          1, (std::max(picture.Width(), picture.Height()) + longestSide - 1) / longestSide)),
      rows_(picture) {
  if (factor_ == 1) return;
  const int f = factor_, channels = picture.Channels();
  const int w = (picture.Width() + f - 1) / f, h = (picture.Height() + f - 1) / f;
  const int rowBytes = w * channels;
  bytes_.resize(static_cast<std::size_t>(rowBytes) * static_cast<std::size_t>(h));
  const int sourceBytes = picture.Width() * channels;
  ForEachBand(h, std::int64_t{rowBytes} * f * f, [&](int first, int end) {
    // The block's rows summed first, sample by sample, then the block's columns.
    std::vector<int> column(static_cast<std::size_t>(sourceBytes));
    for (int y = first; y < end; ++y) {
      std::fill(column.begin(), column.end(), 0);
      const int y0 = y * f, y1 = std::min(y0 + f, picture.Height());
      for (int sy = y0; sy < y1; ++sy) {
        const std::uint8_t* row = picture.Row(sy);
        for (int i = 0; i < sourceBytes; ++i) column[Index(i)] += row[i];
      }
      std::uint8_t* out = bytes_.data() + static_cast<std::ptrdiff_t>(y) * rowBytes;
      for (int x = 0; x < w; ++x) {
        const int x1 = std::min((x + 1) * f, picture.Width());
        const int count = (x1 - x * f) * (y1 - y0);
        for (int c = 0; c < channels; ++c) {
          int sum = 0;
          for (int sx = x * f; sx < x1; ++sx) sum += column[Index(sx * channels + c)];
          out[x * channels + c] = static_cast<std::uint8_t>((sum + count / 2) / count);
        }
      }
    }
  });
  rows_ = Rows(PictureView{w, h, rowBytes, channels, bytes_, false});
}

}  // namespace documents
