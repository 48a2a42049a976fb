// The frame all effects share: preparing, the protected region and its fallback, the hand-over.
#include <algorithm>
#include <stdexcept>

#include "effect_test_support.h"
#include "effects/effect_table.h"
#include "platform/errors.h"

namespace {

HBITMAP PalettePicture(int width, int height) {
  auto object = std::make_unique<BitmapObject>(width, height, PixelFormat::pf8bit);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) object->Row(y)[x] = static_cast<std::uint8_t>(x * 7 + y);
  return HBITMAP(std::move(object));
}

HBITMAP ThirtyTwoBitPicture(int width, int height) {
  auto object = std::make_unique<BitmapObject>(width, height, PixelFormat::pf32bit);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = object->Row(y) + 4 * x;
      p[0] = static_cast<std::uint8_t>(x);
      p[1] = static_cast<std::uint8_t>(y);
      p[2] = 200;
      p[3] = 77;
    }
  return HBITMAP(std::move(object));
}

struct NamedEffect {
  const char* name;
  std::function<HBITMAP(HBITMAP)> effect;
};

// Every effect function of the effect table, and the second pass of the binarisation.
const std::vector<NamedEffect>& AllEffects() {
  static const std::vector<NamedEffect> effects = [] {
    std::vector<NamedEffect> all;
    for (const EffectCommand& command : EffectCommands())
      all.push_back({command.name.data(), command.effect});
    all.push_back({"Binarize", [](HBITMAP h) { return Binarize(std::move(h), 100); }});
    return all;
  }();
  return effects;
}

// A 2-colour picture, 1 bit per pixel.
HBITMAP MonochromePicture(int width, int height) {
  auto object =
      std::make_unique<BitmapObject>(width, height, PixelFormat::pf1bit, BitmapObject::Fill::kNone);
  for (int y = 0; y < height; ++y)
    for (std::size_t i = 0; i < object->Stride(); ++i) object->Row(y)[i] = y % 2 ? 0xAA : 0x00;
  return HBITMAP(std::move(object));
}

// A pass that writes each destination pixel as its source pixel with the channels swapped.
HBITMAP SwapEffect(HBITMAP h) {
  return RunEffect(std::move(h), [](const TBitmap& source, TBitmap& destination) {
    for (int y = 0; y < source.Height(); ++y) {
      const std::uint8_t* s = source.RowAt(y);
      std::uint8_t* d = destination.RowAt(y);
      for (int x = 0; x < source.Width(); ++x) {
        d[3 * x] = s[3 * x + 2];
        d[3 * x + 1] = s[3 * x + 1];
        d[3 * x + 2] = s[3 * x];
      }
    }
  });
}

}  // namespace

TEST(ClampByte, TestsAgainst255First) {
  const std::pair<std::int32_t, int> cases[] = {{-5, 0},        {0, 0},          {1, 1},
                                                {254, 254},     {255, 255},      {300, 255},
                                                {INT32_MIN, 0}, {INT32_MAX, 255}};
  for (auto [v, expected] : cases) EXPECT_EQ(ClampByte(v), expected) << v;
}

TEST(EffectFrame, AFailureInThePixelPassReturnsTheSourceConvertedTo24Bits) {
  for (HBITMAP (*make)(int, int) : {PalettePicture, MonochromePicture}) {
    HBITMAP input = make(9, 4);
    const std::vector<Bgr> colours = PixelsOf(*input.get());
    HBITMAP result = RunEffect(std::move(input), [](const TBitmap& source, TBitmap& destination) {
      destination.RowAt(0)[0] = 1;    // partly written, then discarded
      source.RowAt(source.Height());  // out of range: throws
    });
    ASSERT_TRUE(result);
    EXPECT_EQ(result->Format(), PixelFormat::pf24bit);
    EXPECT_EQ(PixelsOf(*result.get()), colours);
  }
}

TEST(EffectFrame, AFailureAfterTheRowTableIsFilledAlsoFallsBack) {
  HBITMAP input = ThirtyTwoBitPicture(4, 4);
  const std::vector<Bgr> colours = PixelsOf(*input.get());
  HBITMAP result = RunEffectWithSourceRows(
      std::move(input), [](const TBitmap& source, TBitmap&, const RowTable& rows) {
        ASSERT_EQ(rows.size(), 4u);
        EXPECT_EQ(rows[2], source.RowAt(2));
        throw EInvalidOperation("failed");
      });
  ASSERT_TRUE(result);
  EXPECT_EQ(result->Format(), PixelFormat::pf24bit);
  EXPECT_EQ(PixelsOf(*result.get()), colours);
}

TEST(EffectFrame, PrepareGivesTwoTwentyFourBitBitmapsWithZeroFillBytes) {
  TBitmap source, destination;
  source.AdoptHandle(MonochromePicture(5, 3));
  PrepareBitmaps(source, destination);
  EXPECT_EQ(source.Format(), PixelFormat::pf24bit);
  EXPECT_EQ(PixelsOf(*source.Object())[5], (Bgr{255, 255, 255}));  // row 1 starts 1 0 1 0
  EXPECT_EQ(PixelsOf(*source.Object())[6], (Bgr{0, 0, 0}));
  ASSERT_FALSE(destination.Empty());
  EXPECT_EQ(destination.Format(), PixelFormat::pf24bit);
  EXPECT_EQ(destination.Width(), 5);
  EXPECT_EQ(destination.Height(), 3);
  EXPECT_FALSE(PaddingTouched(*destination.Object()));

  TBitmap empty, emptyDestination;
  PrepareBitmaps(empty, emptyDestination);
  EXPECT_TRUE(emptyDestination.Empty());
}

// A picture whose 24-bit conversion would exceed the largest bitmap cannot be prepared. The
// effect reports that, and the picture goes back to its owner instead of being lost.
TEST(EffectFrame, FailureWhilePreparingGivesThePictureBack) {
  TBitmap picture;
  picture.AdoptHandle(MonochromePicture(1 << 23, 90));
  const BitmapObject* before = picture.Object();
  try {
    ApplyEffect(picture, SwapEffect);
    FAIL() << "the conversion should not fit";
  } catch (const EEffectAborted& e) {
    EXPECT_EQ(e.Message(), msg::kImageTooLarge);
  }
  EXPECT_EQ(picture.Object(), before);
  EXPECT_EQ(picture.Format(), PixelFormat::pf1bit);
  EXPECT_EQ(picture.Width(), 1 << 23);
}

TEST(EffectFrame, AnAbortedEffectGivesItsPictureOnce) {
  EEffectAborted aborted("failed", MonochromePicture(3, 2));
  HBITMAP first = aborted.TakePicture();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->Width(), 3);
  EXPECT_FALSE(aborted.TakePicture());
}

TEST(EffectFrame, EveryEffectTurnsPalettisedAnd32BitInputInto24Bit) {
  for (const NamedEffect& e : AllEffects()) {
    for (HBITMAP (*make)(int, int) : {PalettePicture, ThirtyTwoBitPicture, MonochromePicture}) {
      HBITMAP input = make(7, 6);
      HBITMAP result = e.effect(std::move(input));
      ASSERT_TRUE(result) << e.name;
      EXPECT_EQ(result->Format(), PixelFormat::pf24bit) << e.name;
      EXPECT_EQ(result->Width(), 7) << e.name;
      EXPECT_EQ(result->Height(), 6) << e.name;
    }
  }
}

TEST(EffectFrame, EveryEffectReturnsNothingForAnEmptyPicture) {
  for (const NamedEffect& e : AllEffects()) EXPECT_FALSE(e.effect(HBITMAP())) << e.name;
}

TEST(EffectFrame, NoEffectWritesTheFillBytesOfARow) {
  for (const NamedEffect& e : AllEffects())
    for (int width : {1, 2, 3, 5, 6, 7, 13}) {
      HBITMAP input = MakePicture(width, 7, [](int x, int y) {
        return Bgr{static_cast<std::uint8_t>(200 + x), static_cast<std::uint8_t>(90 + y), 50};
      });
      HBITMAP result = e.effect(std::move(input));
      ASSERT_TRUE(result);
      EXPECT_FALSE(PaddingTouched(*result.get())) << e.name << " width " << width;
    }
}

TEST(EffectFrame, OneColumnAndOneRowPicturesAreProcessed) {
  for (const NamedEffect& e : AllEffects())
    for (auto [w, h] : {std::pair{1, 9}, std::pair{9, 1}, std::pair{1, 1}}) {
      HBITMAP input = NoisePicture(w, h, 5);
      HBITMAP result = e.effect(std::move(input));
      ASSERT_TRUE(result) << e.name;
      EXPECT_EQ(result->Width(), w);
      EXPECT_EQ(result->Height(), h);
    }
}

TEST(ApplyEffect, HandsThePictureOverAndTakesTheResultBack) {
  TBitmap picture;
  picture.AdoptHandle(MakeFlatPicture(3, 2, {10, 20, 30}));
  int changes = 0;
  picture.SetOnChange([&] { ++changes; });
  ApplyEffect(picture, Negative);
  EXPECT_GE(changes, 2);  // given up, then adopted
  ASSERT_FALSE(picture.Empty());
  EXPECT_EQ(At(*picture.Object(), 2, 1), (Bgr{245, 235, 225}));
}

// A large picture lives in stores on huge-page boundaries, and each effect's destination takes
// over the store that the previous effect's source gave back, with the right pixels in it.
TEST(ApplyEffect, EachDestinationTakesOverTheStoreThePreviousSourceGaveBack) {
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  PixelStore::ReleaseSpare();
  TBitmap picture;
  picture.AdoptHandle(MakePicture(1024, 700, [](int x, int y) {
    return Bgr{std::uint8_t(x), std::uint8_t(y), std::uint8_t(x ^ y)};
  }));
  const std::size_t size = picture.Object()->SizeBytes();
  const HBITMAP original(picture.Object()->Clone());
  bool reused = false;  // from the second effect on
  const auto swapAndLook = [&reused](HBITMAP h) {
    return RunEffect(std::move(h), [&reused](const TBitmap& source, TBitmap& destination) {
      EXPECT_EQ(PixelStore::SpareSize(), 0u) << "the destination has taken the spare";
      // Fresh memory would come zeroed; a store taken over still holds an earlier picture.
      const std::uint8_t* last = destination.RowAt(destination.Height() - 1);
      if (reused) {
        EXPECT_TRUE(std::any_of(last, last + 30, [](std::uint8_t b) { return b != 0; }));
      }
      reused = true;
      for (int y = 0; y < source.Height(); ++y)
        for (int x = 0; x < 3 * source.Width(); x += 3)
          for (int c = 0; c < 3; ++c) destination.RowAt(y)[x + c] = source.RowAt(y)[x + 2 - c];
    });
  };
  for (int i = 0; i < 4; ++i) {
    ApplyEffect(picture, swapAndLook);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(picture.Object()->Bits()) % kHugePage, 0u);
    EXPECT_EQ(PixelStore::SpareSize(), size) << "the source's store is the spare";
  }
  EXPECT_EQ(PixelsOf(*picture.Object()), PixelsOf(*original.get()));  // swapped four times
}
