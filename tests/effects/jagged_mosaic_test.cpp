// JaggedMosaic.
#include <set>

#include "effect_test_support.h"

namespace {

// The rule word for word on a copy of the pixels.
std::vector<Bgr> ReferenceMosaic(const BitmapObject& picture) {
  const int w = picture.Width(), h = picture.Height();
  std::vector<Bgr> out = PixelsOf(picture);
  for (int cy = 0; cy < h / 5; ++cy)
    for (int cx = 0; cx < w / 5; ++cx) {
      const Bgr colour = At(picture, 5 * cx, 5 * cy);
      for (int i = 1; i <= 5; ++i)
        for (int j = 1; j <= 3; ++j) {
          const int ty = std::min(5 * cy + i, h - 1), tx = std::min(5 * cx + i + j, w - 1);
          out[static_cast<std::size_t>(ty * w + tx)] = colour;
        }
    }
  return out;
}

// Each pixel its own colour, so that a painted pixel shows where its colour came from.
HBITMAP Labelled(int w, int h) {
  return MakePicture(w, h, [](int x, int y) {
    return Bgr{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 99};
  });
}

Bgr Label(int x, int y) {
  return Bgr{std::uint8_t(x), std::uint8_t(y), 99};
}

// The painted pixels of a result, as (x, y) -> the label of the source pixel painted there.
void ExpectPainted(const BitmapObject& result, int w, int h,
                   const std::set<std::tuple<int, int, int, int>>& painted) {
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      Bgr expected = Label(x, y);
      for (auto [px, py, sx, sy] : painted)
        if (px == x && py == y) expected = Label(sx, sy);
      EXPECT_EQ(At(result, x, y), expected) << x << "," << y;
    }
}

}  // namespace

TEST(JaggedMosaic, PicturesBelowSixBySixComeBackAsTheSameHandle) {
  for (auto [w, h] : {std::pair{5, 9}, std::pair{9, 5}, std::pair{5, 5}, std::pair{1, 40}}) {
    auto object = std::make_unique<BitmapObject>(w, h, PixelFormat::pf8bit);
    const BitmapObject* address = object.get();
    HBITMAP result = JaggedMosaic(HBITMAP(std::move(object)));
    EXPECT_EQ(result.get(), address);
    EXPECT_EQ(result->Format(), PixelFormat::pf8bit);
  }
  EXPECT_FALSE(JaggedMosaic(HBITMAP()));
}

// Which pixels take the colour of another, for the two smallest cell layouts.
TEST(JaggedMosaic, SixBySixAndSevenBySeven) {
  using Painted = std::set<std::tuple<int, int, int, int>>;
  const Painted sixBySix = {{2, 1, 0, 0}, {3, 1, 0, 0}, {4, 1, 0, 0}, {3, 2, 0, 0}, {4, 2, 0, 0},
                            {5, 2, 0, 0}, {4, 3, 0, 0}, {5, 3, 0, 0}, {5, 4, 0, 0}, {5, 5, 0, 0}};
  const Painted sevenBySeven = {{2, 1, 0, 0}, {3, 1, 0, 0}, {4, 1, 0, 0}, {3, 2, 0, 0},
                                {4, 2, 0, 0}, {5, 2, 0, 0}, {4, 3, 0, 0}, {5, 3, 0, 0},
                                {6, 3, 0, 0}, {5, 4, 0, 0}, {6, 4, 0, 0}, {6, 5, 0, 0}};
  for (const auto& [size, painted] : {std::pair{6, sixBySix}, std::pair{7, sevenBySeven}}) {
    SCOPED_TRACE(size);
    HBITMAP picture = Labelled(size, size);
    HBITMAP result = RunOn(JaggedMosaic, *picture.get());
    ExpectPainted(*result.get(), size, size, painted);
  }
}

TEST(JaggedMosaic, TenByTenFoldsTheLastRow) {
  HBITMAP picture = Labelled(10, 10);
  HBITMAP result = RunOn(JaggedMosaic, *picture.get());
  for (int x = 0; x < 5; ++x) EXPECT_EQ(At(*result.get(), x, 9), Label(x, 9));
  for (int x = 5; x < 9; ++x) EXPECT_EQ(At(*result.get(), x, 9), Label(0, 5)) << x;
  EXPECT_EQ(At(*result.get(), 9, 9), Label(5, 5));
  EXPECT_EQ(PixelsOf(*result.get()), ReferenceMosaic(*picture.get()));
}

TEST(JaggedMosaic, MatchesTheRuleForManySizes) {
  for (int w : {6, 7, 9, 10, 11, 14, 15, 16, 23})
    for (int h : {6, 8, 10, 12, 15, 21}) {
      HBITMAP picture = NoisePicture(w, h, static_cast<std::uint32_t>(w * h));
      HBITMAP result = RunOn(JaggedMosaic, *picture.get());
      ASSERT_EQ(PixelsOf(*result.get()), ReferenceMosaic(*picture.get())) << w << "x" << h;
      // The top-left pixel of every cell keeps its colour; row 0 is never painted.
      for (int cy = 0; cy < h / 5; ++cy)
        for (int cx = 0; cx < w / 5; ++cx)
          EXPECT_EQ(At(*result.get(), 5 * cx, 5 * cy), At(*picture.get(), 5 * cx, 5 * cy));
      for (int x = 0; x < w; ++x) EXPECT_EQ(At(*result.get(), x, 0), At(*picture.get(), x, 0));
    }
}

TEST(JaggedMosaic, IsIdempotent) {
  for (auto [w, h] : {std::pair{10, 10}, std::pair{13, 11}, std::pair{40, 27}}) {
    HBITMAP picture = NoisePicture(w, h, 4);
    HBITMAP once = RunOn(JaggedMosaic, *picture.get());
    HBITMAP twice = RunOn(JaggedMosaic, *once.get());
    EXPECT_EQ(PixelsOf(*twice.get()), PixelsOf(*once.get()));
  }
}

TEST(JaggedMosaic, PalettisedInputIsConvertedFirst) {
  auto object = std::make_unique<BitmapObject>(8, 7, PixelFormat::pf8bit);
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 8; ++x) object->Row(y)[x] = static_cast<std::uint8_t>(x * 30 + y);
  HBITMAP converted = MakePicture(8, 7, [&](int x, int y) { return At(*object, x, y); });
  HBITMAP result = JaggedMosaic(HBITMAP(std::move(object)));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->Format(), PixelFormat::pf24bit);
  EXPECT_EQ(PixelsOf(*result.get()), ReferenceMosaic(*converted.get()));
}
