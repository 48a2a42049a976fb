// The frame all effects share: preparing, the protected region and its fallback, the hand-over.
#include <stdexcept>

#include "effect_test_support.h"
#include "effects/effects.h"
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

const std::vector<NamedEffect>& AllEffects() {
  static const std::vector<NamedEffect> effects = {
      {"Grayscale", Grayscale},
      {"Negative", Negative},
      {"Sepia", Sepia},
      {"MeanThreshold", MeanThreshold},
      {"Binarize", [](HBITMAP h) { return Binarize(std::move(h), 100); }},
      {"Blur", Blur},
      {"Sharpen", Sharpen},
      {"ColorEmboss", ColorEmboss},
      {"UnsharpMask", UnsharpMask},
      {"JaggedMosaic", JaggedMosaic},
      {"Mirror", Mirror},
  };
  return effects;
}

}  // namespace

TEST(ClampByte, TestsAgainst255First) {
  const std::pair<std::int32_t, int> cases[] = {{-5, 0},    {0, 0},     {1, 1},
                                                {254, 254}, {255, 255}, {300, 255}};
  for (auto [v, expected] : cases) EXPECT_EQ(ClampByte(v), expected) << v;
}

TEST(EffectFrame, AFailureInThePixelPassReturnsTheSourceConvertedTo24Bits) {
  HBITMAP input = PalettePicture(5, 3);
  const std::vector<Bgr> colours = PixelsOf(*input.get());
  HBITMAP result = RunEffect(std::move(input), [](const TBitmap& source, TBitmap& destination) {
    destination.RowAt(0)[0] = 1;  // partly written, then discarded
    throw std::runtime_error("no row");
    (void)source;
  });
  ASSERT_TRUE(result);
  EXPECT_EQ(result->Format(), PixelFormat::pf24bit);
  EXPECT_EQ(PixelsOf(*result.get()), colours);
}

TEST(EffectFrame, AFailureAfterTheRowTableIsFilledAlsoFallsBack) {
  HBITMAP input = ThirtyTwoBitPicture(4, 4);
  const std::vector<Bgr> colours = PixelsOf(*input.get());
  HBITMAP result = RunEffectWithSourceRows(
      std::move(input),
      [](const TBitmap& source, TBitmap&, const RowTable& rows) {
        ASSERT_EQ(rows.size(), 4u);
        EXPECT_EQ(rows[2], source.RowAt(2));
        throw EInvalidOperation("failed");
      },
      DestinationFill::kUnfilled);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->Format(), PixelFormat::pf24bit);
  EXPECT_EQ(PixelsOf(*result.get()), colours);
}

TEST(EffectFrame, UnfilledDestinationHasZeroPaddingAndWhiteDestinationIsWhite) {
  TBitmap source, white, unfilled;
  source.AdoptHandle(MakeFlatPicture(5, 2, {1, 2, 3}));
  PrepareBitmaps(source, white);
  for (const Bgr& p : PixelsOf(*white.Object())) EXPECT_EQ(p, (Bgr{255, 255, 255}));
  PrepareBitmaps(source, unfilled, DestinationFill::kUnfilled);
  ASSERT_FALSE(unfilled.Empty());
  EXPECT_EQ(unfilled.Format(), PixelFormat::pf24bit);
  EXPECT_EQ(unfilled.Width(), 5);
  EXPECT_EQ(unfilled.Height(), 2);
  EXPECT_FALSE(PaddingTouched(*unfilled.Object()));
}

TEST(EffectFrame, EveryEffectTurnsPalettisedAnd32BitInputInto24Bit) {
  for (const NamedEffect& e : AllEffects()) {
    for (HBITMAP (*make)(int, int) : {PalettePicture, ThirtyTwoBitPicture}) {
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

TEST(EffectCommands, TableHoldsTheTenNamesInButtonOrder) {
  const char* names[] = {"grayscale", "binarize", "blur",          "sharpen",      "unsharp-mask",
                         "negative",  "sepia",    "jagged-mosaic", "color-emboss", "mirror"};
  ASSERT_EQ(EffectCommands().size(), std::size(names));
  for (std::size_t i = 0; i < std::size(names); ++i) {
    EXPECT_EQ(EffectCommands()[i].name, names[i]);
    EXPECT_EQ(FindEffectCommand(names[i]), &EffectCommands()[i]);
  }
  EXPECT_EQ(FindEffectCommand("emboss"), nullptr);
}

TEST(EffectCommands, AnEmptyPictureStaysEmptyUnderEveryCommand) {
  for (const EffectCommand& command : EffectCommands()) {
    TBitmap picture;
    command.run(picture);
    EXPECT_TRUE(picture.Empty()) << command.name;
  }
}
