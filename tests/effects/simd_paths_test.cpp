// The weighted-gray effects on both code paths (the AVX2 blocks of 32 pixels and the baseline
// row loops) for every row width from 1 to 40 and a few longer ones, with exact halves and
// exact ties planted at every position of a block, against the rules evaluated naively. Tall
// pictures around the block's width show that the tier goes by the rows' width, not the
// picture's height.
#include <string>
#include <vector>

#include "effect_test_support.h"
#include "effects/Vectorise.h"

namespace {

using SimdPaths = BothPaths;

// Up to 500 colours with wb x blue + wg x green + wr x red equal to `target` modulo `modulus`.
std::vector<Bgr> ColoursWith(int wb, int wg, int wr, int modulus, int target) {
  std::vector<Bgr> found;
  for (int b = 0; b < 256; ++b)
    for (int g = 0; g < 256; ++g)
      for (int r = 0; r < 256 && found.size() < 500; ++r)
        if ((wb * b + wg * g + wr * r) % modulus == target)
          found.push_back({static_cast<std::uint8_t>(b), static_cast<std::uint8_t>(g),
                           static_cast<std::uint8_t>(r)});
  return found;
}

// Rows alternate: every pixel special, noise, every third pixel special, noise with a special
// pixel at the end. `special` is cycled through.
HBITMAP Planted(int width, int height, const std::vector<Bgr>& special, std::uint32_t seed) {
  HBITMAP noise = NoisePicture(width, height, seed);
  const BitmapObject& n = *noise.get();
  return MakePicture(width, height, [&](int x, int y) {
    const Bgr pick = special[static_cast<std::size_t>(x * 7 + y * 131 + width) % special.size()];
    switch (y % 4) {
      case 0:
        return pick;
      case 2:
        return x % 3 == 1 ? pick : At(n, x, y);
      case 3:
        return x == width - 1 ? pick : At(n, x, y);
      default:
        return At(n, x, y);
    }
  });
}

struct Shape {
  int width, height;
};
std::vector<Shape> Shapes() {
  std::vector<Shape> shapes;
  for (int w = 1; w <= 40; ++w) shapes.push_back({w, 4});
  for (int w : {63, 64, 65, 95, 96, 97, 130}) shapes.push_back({w, 4});
  for (int w : {1, 2, 31, 32, 33}) shapes.push_back({w, 70});
  return shapes;
}

}  // namespace

TEST_P(SimdPaths, GrayAndSepiaWithExactHalves) {
  const std::vector<Bgr> halves = ColoursWith(114, 586, 289, 1000, 500);
  ASSERT_GT(halves.size(), 100u);
  for (const auto [width, height] : Shapes()) {
    HBITMAP picture = Planted(width, height, halves, static_cast<std::uint32_t>(width));
    HBITMAP gray = RunOn(Grayscale, *picture.get());
    HBITMAP sepia = RunOn(Sepia, *picture.get());
    ASSERT_TRUE(gray && sepia);
    EXPECT_FALSE(PaddingTouched(*gray.get()));
    EXPECT_FALSE(PaddingTouched(*sepia.get()));
    for (int y = 0; y < picture->Height(); ++y)
      for (int x = 0; x < width; ++x) {
        const Bgr s = At(*picture.get(), x, y);
        const std::uint8_t g = ReferenceGray(s[0], s[1], s[2]);
        ASSERT_EQ(At(*gray.get(), x, y), (Bgr{g, g, g})) << width << " " << x << "," << y;
        ASSERT_EQ(At(*sepia.get(), x, y), (Bgr{ClampByte(g - 30), g, ClampByte(g + 30)}))
            << width << " " << x << "," << y;
      }
  }
}

TEST_P(SimdPaths, BinarizeWithExactTies) {
  for (std::int32_t threshold : {7, 30, 63, 126, 200}) {
    // Binarize weighs blue 0.289 and red 0.114.
    const std::vector<Bgr> ties = ColoursWith(289, 586, 114, 1000000, 1000 * threshold);
    ASSERT_FALSE(ties.empty()) << threshold;
    for (const auto [width, height] : Shapes()) {
      HBITMAP picture = Planted(width, height, ties, static_cast<std::uint32_t>(width + threshold));
      HBITMAP result = RunOn([threshold](HBITMAP h) { return Binarize(std::move(h), threshold); },
                             *picture.get());
      ASSERT_TRUE(result);
      EXPECT_FALSE(PaddingTouched(*result.get()));
      for (int y = 0; y < picture->Height(); ++y)
        for (int x = 0; x < width; ++x) {
          const Bgr s = At(*picture.get(), x, y);
          const std::uint8_t v = ReferenceBinarizeSum(s[0], s[1], s[2]) > threshold ? 255 : 0;
          ASSERT_EQ(At(*result.get(), x, y), (Bgr{v, v, v}))
              << threshold << " " << width << " " << x << "," << y;
        }
    }
  }
}

TEST_P(SimdPaths, MeanThresholdCopiesAndSumsEveryWidth) {
  for (const auto [width, height] : Shapes()) {
    HBITMAP picture = NoisePicture(width, height, 1000u + static_cast<std::uint32_t>(width));
    BinarizeThreshold = -1;
    HBITMAP copy = RunOn(MeanThreshold, *picture.get());
    ASSERT_TRUE(copy);
    EXPECT_EQ(PixelsOf(*copy.get()), PixelsOf(*picture.get())) << width;
    EXPECT_FALSE(PaddingTouched(*copy.get()));
    EXPECT_EQ(BinarizeThreshold, ReferenceMean(*picture.get())) << width;
  }
  // One channel at a time decides the mean, so that a channel summed into the wrong total
  // shows: pure blue 255 gives 29.07, pure red 73.695, pure green 149.43.
  for (const auto& [colour, threshold] :
       {std::pair{Bgr{255, 0, 0}, 29}, std::pair{Bgr{0, 0, 255}, 74},
        std::pair{Bgr{0, 255, 0}, 149}}) {
    HBITMAP flat = MakeFlatPicture(70, 2, colour);
    RunOn(MeanThreshold, *flat.get());
    EXPECT_EQ(BinarizeThreshold, threshold);
  }
}

LUMIVANE_ON_BOTH_PATHS(SimdPaths);
