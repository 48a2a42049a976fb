#include "platform/bitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>

#include "platform/errors.h"
#include "platform/narrow.h"
#include "support/test_support.h"

TEST(TBitmap, AdoptAndDetachMoveOwnershipAndNotify) {
  TBitmap bitmap;
  int changes = 0;
  bitmap.SetOnChange([&] { ++changes; });
  bitmap.AdoptHandle(HBITMAP());  // nothing held, nothing adopted: no change
  EXPECT_EQ(changes, 0);
  bitmap.AdoptHandle(MakeFlatPicture(5, 3, {1, 2, 3}));
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(bitmap.Width(), 5);
  EXPECT_EQ(bitmap.Height(), 3);
  HBITMAP h = bitmap.DetachHandle();
  ASSERT_TRUE(h);
  EXPECT_TRUE(bitmap.Empty());
  EXPECT_EQ(bitmap.Width(), 0);
  EXPECT_FALSE(bitmap.DetachHandle());
}

TEST(TBitmap, RowZeroIsTheTopAndRowsAreWordPadded) {
  TBitmap bitmap;
  bitmap.AdoptHandle(MakePicture(5, 2, [](int x, int y) {
    return Bgr{uint8_t(x), uint8_t(y), 9};
  }));
  EXPECT_EQ(bitmap.Object()->Stride(), 16u);
  EXPECT_EQ(bitmap.RowAt(1)[3 * 4], 4);
  EXPECT_EQ(bitmap.RowAt(1)[3 * 4 + 1], 1);
  EXPECT_THROW(bitmap.RowAt(2), EInvalidOperation);
  EXPECT_THROW(bitmap.RowAt(-1), EInvalidOperation);
}

TEST(TBitmap, ResizingAnEmptyBitmapGivesWhite) {
  TBitmap bitmap;
  bitmap.SetWidth(3);
  EXPECT_TRUE(bitmap.Empty());
  bitmap.SetHeight(2);
  ASSERT_FALSE(bitmap.Empty());
  for (const Bgr& p : PixelsOf(*bitmap.Object())) EXPECT_EQ(p, (Bgr{255, 255, 255}));
}

// A size of 0 or below is an invalid bitmap, not one too large.
TEST(BitmapObject, AWidthOrHeightOfZeroOrBelowIsAnInvalidBitmap) {
  const std::pair<std::int32_t, std::int32_t> sizes[] = {{0, 5}, {5, 0}, {-1, 5}, {5, -3}, {0, 0}};
  for (auto [width, height] : sizes) {
    try {
      BitmapObject object(width, height, PixelFormat::pf24bit);
      ADD_FAILURE() << width << " x " << height << " was made";
    } catch (const EInvalidGraphic& e) {
      EXPECT_EQ(e.Message(), msg::kInvalidBitmap) << width << " x " << height;
    }
  }
}

// What fits comes through unchanged, at either end of the target's range; one past refuses the
// picture as too large.
TEST(CheckedCast, PassesWhatFitsAndRefusesWhatDoesNot) {
  constexpr std::int64_t kMin32 = std::numeric_limits<std::int32_t>::min();
  const struct {
    const char* what;
    std::function<std::int64_t()> cast;
    std::optional<std::int64_t> expected;
  } cases[] = {
      {"2^31 - 1 to int32", [] { return CheckedCast<std::int32_t>(0x7FFFFFFFu); }, 0x7FFFFFFF},
      {"2^31 to int32", [] { return CheckedCast<std::int32_t>(0x80000000u); }, std::nullopt},
      {"-2^31 to int32", [] { return CheckedCast<std::int32_t>(kMin32); }, kMin32},
      {"-2^31 - 1 to int32", [] { return CheckedCast<std::int32_t>(kMin32 - 1); }, std::nullopt},
      {"255 to uint8", [] { return CheckedCast<std::uint8_t>(255); }, 255},
      {"256 to uint8", [] { return CheckedCast<std::uint8_t>(256); }, std::nullopt},
      {"0 to size_t", [] { return static_cast<std::int64_t>(CheckedCast<std::size_t>(0)); }, 0},
      {"-1 to size_t", [] { return static_cast<std::int64_t>(CheckedCast<std::size_t>(-1)); },
       std::nullopt},
  };
  for (const auto& c : cases) {
    try {
      const std::int64_t value = c.cast();
      EXPECT_EQ(std::optional(value), c.expected) << c.what;
    } catch (const EOutOfResources& e) {
      EXPECT_FALSE(c.expected) << c.what;
      EXPECT_EQ(e.Message(), msg::kImageTooLarge) << c.what;
    }
  }
}

// A freed large store is kept as the one spare. A store of its size takes it over and starts
// white when asked to, like a fresh one; a store of another size frees it.
TEST(BitmapObject, AFreedLargeStoreIsTheSpareForTheNextOfItsSize) {
  PixelStore::ReleaseSpare();
  HBITMAP noise = NoisePicture(800, 600, 7);
  const std::size_t size = noise->SizeBytes();
  ASSERT_GE(size, PixelStore::kLarge);
  noise = HBITMAP();
  EXPECT_EQ(PixelStore::SpareSize(), size);
  {
    const BitmapObject white(800, 600, PixelFormat::pf24bit);
    EXPECT_EQ(PixelStore::SpareSize(), 0u);
    EXPECT_TRUE(std::all_of(white.Bits(), white.Bits() + white.SizeBytes(),
                            [](std::uint8_t b) { return b == 0xFF; }));
  }
  EXPECT_EQ(PixelStore::SpareSize(), size);
  const BitmapObject other(800, 601, PixelFormat::pf24bit);
  EXPECT_EQ(PixelStore::SpareSize(), 0u);
  { const BitmapObject small(100, 100, PixelFormat::pf24bit); }
  EXPECT_EQ(PixelStore::SpareSize(), 0u);  // small stores come from the heap
}
