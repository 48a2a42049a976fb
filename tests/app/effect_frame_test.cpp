// The effect frame: preparing bitmaps, the skeleton's fallback, and the hand-over.
#include <gtest/gtest.h>

#include "effects/EffectBass.h"
#include "support/test_support.h"

namespace {

// A pass that writes each destination pixel as its source pixel with the channels swapped.
void SwapChannels(const TBitmap& source, TBitmap& destination) {
  for (int y = 0; y < source.Height(); ++y) {
    const std::uint8_t* s = source.RowAt(y);
    std::uint8_t* d = destination.RowAt(y);
    for (int x = 0; x < source.Width(); ++x) {
      d[3 * x] = s[3 * x + 2];
      d[3 * x + 1] = s[3 * x + 1];
      d[3 * x + 2] = s[3 * x];
    }
  }
}

HBITMAP SwapEffect(HBITMAP h) {
  return RunEffect(std::move(h), SwapChannels);
}

HBITMAP FailingEffect(HBITMAP h) {
  return RunEffect(std::move(h), [](const TBitmap& source, TBitmap& destination) {
    destination.RowAt(0)[0] = 1;
    source.RowAt(source.Height());  // out of range: throws
  });
}

// A 2-colour picture, 1 bit per pixel.
HBITMAP MonochromePicture(int width, int height) {
  auto object =
      std::make_unique<BitmapObject>(width, height, PixelFormat::pf1bit, BitmapObject::Fill::kNone);
  for (int y = 0; y < height; ++y)
    for (std::size_t i = 0; i < object->Stride(); ++i) object->Row(y)[i] = y % 2 ? 0xAA : 0x00;
  return HBITMAP(std::move(object));
}

}  // namespace

TEST(EffectFrame, ClampByte) {
  const std::pair<int, int> cases[] = {{-5, 0},    {0, 0},     {1, 1},         {254, 254},
                                       {255, 255}, {300, 255}, {INT32_MIN, 0}, {INT32_MAX, 255}};
  for (auto [in, out] : cases) EXPECT_EQ(ClampByte(in), out) << in;
}

TEST(EffectFrame, PrepareGivesTwoTwentyFourBitBitmapsAndAWhiteDestination) {
  TBitmap source;
  TBitmap destination;
  source.AdoptHandle(MonochromePicture(5, 3));
  PrepareBitmaps(source, destination);
  EXPECT_EQ(source.Format(), PixelFormat::pf24bit);
  EXPECT_EQ(destination.Format(), PixelFormat::pf24bit);
  EXPECT_EQ(destination.Width(), 5);
  EXPECT_EQ(destination.Height(), 3);
  EXPECT_EQ(PixelsOf(*source.Object())[5], (Bgr{255, 255, 255}));  // row 1 starts 1 0 1 0
  EXPECT_EQ(PixelsOf(*source.Object())[6], (Bgr{0, 0, 0}));
  for (const Bgr& p : PixelsOf(*destination.Object())) EXPECT_EQ(p, (Bgr{255, 255, 255}));
}

TEST(EffectFrame, EmptyPictureStaysEmpty) {
  TBitmap picture;
  ApplyEffect(picture, SwapEffect);
  EXPECT_TRUE(picture.Empty());
}

TEST(EffectFrame, ResultIsTwentyFourBitsOfTheSameSize) {
  TBitmap picture;
  picture.AdoptHandle(MonochromePicture(9, 4));
  ApplyEffect(picture, SwapEffect);
  EXPECT_EQ(picture.Format(), PixelFormat::pf24bit);
  EXPECT_EQ(picture.Width(), 9);
  EXPECT_EQ(picture.Height(), 4);
}

TEST(EffectFrame, FailureInThePixelWorkReturnsTheConvertedSourceSilently) {
  TBitmap picture;
  picture.AdoptHandle(MonochromePicture(9, 4));
  TBitmap expected;
  expected.AdoptHandle(MonochromePicture(9, 4));
  expected.ConvertTo24Bit();
  ApplyEffect(picture, FailingEffect);
  EXPECT_EQ(picture.Format(), PixelFormat::pf24bit);
  EXPECT_EQ(PixelsOf(*picture.Object()), PixelsOf(*expected.Object()));
}

TEST(EffectFrame, PaddingBytesAreNotWritten) {
  TBitmap picture;
  picture.AdoptHandle(MakeFlatPicture(5, 2, {1, 2, 3}));
  ApplyEffect(picture, SwapEffect);
  // The destination was created white; the pass never reaches the fill bytes.
  EXPECT_EQ(picture.RowAt(0)[15], 0xFF);
  EXPECT_EQ(picture.RowAt(1)[15], 0xFF);
  EXPECT_EQ(picture.RowAt(0)[0], 3);
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
