// The bare glass around the documents: its colour, and how far a pixel must be from it to be
// part of something laid on it.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "rows.h"

namespace documents {

struct Glass {
  std::array<int, 3> colour{};
  int threshold = 0;  // a larger difference than this is not the glass
};

// The colour most sides of the picture's border agree on (a document may cover some of them).
Glass EstimateGlass(const Rows& picture);

// A pixel's difference from the glass: the largest over its channels.
inline int Difference(const std::uint8_t* pixel, int channels, const Glass& glass) {
  int difference = 0;
  for (int c = 0; c < channels; ++c) {
    const int d = pixel[c] - glass.colour[static_cast<std::size_t>(c)];
    difference = std::max(difference, d < 0 ? -d : d);
  }
  return difference;
}

// A picture shrunk by a whole factor (the mean of each factor x factor block), so that finding
// works on a bounded number of pixels whatever the resolution. Factor 1 keeps the bytes as
// they are.
class Reduced {
 public:
  Reduced(const Rows& picture, int longestSide);
  int Factor() const { return factor_; }
  const Rows& Picture() const { return rows_; }

 private:
  int factor_ = 1;
  Bytes bytes_;  // written whole
  Rows rows_;
};

}  // namespace documents
