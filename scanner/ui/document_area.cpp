#include "document_area.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <vector>

namespace scanner {
namespace {

// A difference from the background smaller than this is the glass itself (paper grain, uneven
// lighting); the border's own noise can raise it, up to kMaxDifference.
constexpr int kMinDifference = 24;
constexpr int kMaxDifference = 100;
// The noise's spread estimated from the median absolute difference (for normal noise).
constexpr double kMadToSigma = 1.4826;
constexpr double kNoiseSigmas = 4.0;
constexpr int kSmallestImage = 8;

using Histogram = std::array<int, 256>;

// The sides of the image, in the order that breaks a tie between two readings of the background:
// a document is usually laid at the glass's origin, top left, so the bottom and right sides are
// the likeliest to show bare glass.
enum Side { kBottom, kRight, kTop, kLeft, kSides };

struct Region {
  int x0, y0, x1, y1;  // right and bottom excluded
};

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

// Offset of pixel (x, y) in rows of rowLength units, step units a pixel; every number is at least
// 0 once LayoutFits has accepted the picture.
std::size_t At(int x, int y, int rowLength, int step = 1) {
  return static_cast<std::size_t>(y) * static_cast<std::size_t>(rowLength) +
         static_cast<std::size_t>(x) * static_cast<std::size_t>(step);
}

class Reader {
 public:
  explicit Reader(const PreviewBytes& image) : image_(image) {}

  const std::uint8_t* Pixel(int x, int y) const {
    return image_.pixels.data() + At(x, y, image_.bytesPerLine, image_.channels);
  }

  int Difference(int x, int y, const std::array<int, 3>& background) const {
    const std::uint8_t* p = Pixel(x, y);
    int difference = 0;
    for (int c = 0; c < image_.channels; ++c)
      difference = std::max(difference, std::abs(p[c] - background[static_cast<std::size_t>(c)]));
    return difference;
  }

  template <typename Visit>
  void ForEach(const Region& region, Visit visit) const {
    for (int y = region.y0; y < region.y1; ++y)
      for (int x = region.x0; x < region.x1; ++x) visit(x, y);
  }

 private:
  const PreviewBytes& image_;
};

bool LayoutFits(const PreviewBytes& image) {
  if (image.width <= 0 || image.height <= 0) return false;
  if (image.channels != 1 && image.channels != 3) return false;
  const long long row = static_cast<long long>(image.width) * image.channels;
  if (image.bytesPerLine < row) return false;
  const long long needed = static_cast<long long>(image.height - 1) * image.bytesPerLine + row;
  return static_cast<long long>(image.pixels.size()) >= needed;
}

struct Background {
  std::array<int, 3> value{};
  int threshold = kMinDifference;
};

// The glass's colour: the reading that most sides of the border agree on, and how far a pixel
// must be from it to be something on the glass.
Background EstimateBackground(const PreviewBytes& image, const Reader& reader) {
  const int w = image.width, h = image.height;
  const int band = std::clamp(std::min(w, h) / 32, 1, 8);
  std::array<Region, kSides> sides{};
  sides[kTop] = {0, 0, w, band};
  sides[kBottom] = {0, h - band, w, h};
  sides[kLeft] = {0, band, band, h - band};
  sides[kRight] = {w - band, band, w, h - band};

  std::array<std::array<Histogram, 3>, kSides> histograms{};
  std::array<std::array<int, 3>, kSides> medians{};
  for (int s = 0; s < kSides; ++s) {
    auto& side = histograms[static_cast<std::size_t>(s)];
    reader.ForEach(sides[static_cast<std::size_t>(s)], [&](int x, int y) {
      const std::uint8_t* p = reader.Pixel(x, y);
      for (int c = 0; c < image.channels; ++c) ++side[static_cast<std::size_t>(c)][p[c]];
    });
    for (int c = 0; c < image.channels; ++c)
      medians[static_cast<std::size_t>(s)][static_cast<std::size_t>(c)] =
          MedianOf(side[static_cast<std::size_t>(c)]);
  }

  auto agree = [&](int a, int b) {
    for (int c = 0; c < image.channels; ++c)
      if (std::abs(medians[static_cast<std::size_t>(a)][static_cast<std::size_t>(c)] -
                   medians[static_cast<std::size_t>(b)][static_cast<std::size_t>(c)]) >
          kMinDifference)
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
      for (int t = 0; t < kSides; ++t) chosen[static_cast<std::size_t>(t)] = agree(s, t);
    }
  }

  Background background;
  for (int c = 0; c < image.channels; ++c) {
    Histogram sum{};
    for (int s = 0; s < kSides; ++s)
      if (chosen[static_cast<std::size_t>(s)])
        for (int v = 0; v < 256; ++v)
          sum[static_cast<std::size_t>(v)] +=
              histograms[static_cast<std::size_t>(s)][static_cast<std::size_t>(c)]
                        [static_cast<std::size_t>(v)];
    background.value[static_cast<std::size_t>(c)] = MedianOf(sum);
  }

  Histogram differences{};
  for (int s = 0; s < kSides; ++s)
    if (chosen[static_cast<std::size_t>(s)])
      reader.ForEach(sides[static_cast<std::size_t>(s)], [&](int x, int y) {
        ++differences[static_cast<std::size_t>(reader.Difference(x, y, background.value))];
      });
  const double sigma = kMadToSigma * MedianOf(differences);
  background.threshold =
      std::clamp(static_cast<int>(std::ceil(kNoiseSigmas * sigma)), kMinDifference, kMaxDifference);
  return background;
}

// First and last index whose count reaches least, or {-1, -1}.
std::array<int, 2> Extent(const std::vector<int>& counts, int least) {
  const auto first = std::find_if(counts.begin(), counts.end(), [&](int n) { return n >= least; });
  if (first == counts.end()) return {-1, -1};
  const auto last = std::find_if(counts.rbegin(), counts.rend(), [&](int n) { return n >= least; });
  return {static_cast<int>(first - counts.begin()), static_cast<int>(counts.rend() - last) - 1};
}

}  // namespace

DocumentArea FindDocumentArea(const PreviewBytes& image) {
  DocumentArea result;
  result.rect = {0, 0, std::max(image.width, 0), std::max(image.height, 0)};
  if (!LayoutFits(image) || std::min(image.width, image.height) < kSmallestImage) return result;

  const int w = image.width, h = image.height;
  const Reader reader(image);
  const Background background = EstimateBackground(image, reader);

  std::vector<std::uint8_t> marked(At(0, h, w));
  reader.ForEach({0, 0, w, h}, [&](int x, int y) {
    marked[At(x, y, w)] = reader.Difference(x, y, background.value) > background.threshold;
  });

  // A pixel counts when its right and lower neighbours differ too: a lone speck never does.
  std::vector<int> perRow(static_cast<std::size_t>(h), 0),
      perColumn(static_cast<std::size_t>(w), 0);
  reader.ForEach({0, 0, w - 1, h - 1}, [&](int x, int y) {
    const std::size_t i = At(x, y, w);
    if (marked[i] && marked[i + 1] && marked[i + static_cast<std::size_t>(w)]) {
      ++perRow[static_cast<std::size_t>(y)];
      ++perColumn[static_cast<std::size_t>(x)];
    }
  });

  // A row or column of the document holds more than a speck of dust.
  const auto rows = Extent(perRow, std::max(4, w / 50));
  const auto columns = Extent(perColumn, std::max(4, h / 50));
  if (rows[0] < 0 || columns[0] < 0) return result;

  const int margin = std::max(2, static_cast<int>(std::lround(std::max(w, h) / 100.0)));
  result.found = true;
  result.rect = {std::max(columns[0] - margin, 0), std::max(rows[0] - margin, 0),
                 std::min(columns[1] + 2 + margin, w), std::min(rows[1] + 2 + margin, h)};
  return result;
}

}  // namespace scanner
