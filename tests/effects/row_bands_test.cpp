// The rows of the effect passes split between threads: the same bytes as on one thread, small
// pictures kept on the calling thread, failures of a band brought back to the caller.
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "effect_test_support.h"
#include "effects/RowBands.h"
#include "effects/effect_table.h"

namespace {

class RowBandPaths : public BothPaths {
 protected:
  void TearDown() override {
    SetRowBandsForTesting(0);
    BothPaths::TearDown();
  }
};

// The whole store of a picture, fill bytes included.
std::vector<std::uint8_t> StoreOf(const BitmapObject& object) {
  std::vector<std::uint8_t> bytes;
  for (int y = 0; y < object.Height(); ++y)
    bytes.insert(bytes.end(), object.Row(y), object.Row(y) + object.Stride());
  return bytes;
}

struct Outcome {
  std::vector<std::uint8_t> bytes;
  std::int32_t threshold;
};

Outcome RunCommand(const EffectCommand& command, const BitmapObject& picture, std::int32_t bands) {
  SetRowBandsForTesting(bands);
  BinarizeThreshold = -1;
  TBitmap bitmap;
  bitmap.AdoptHandle(HBITMAP(picture.Clone()));
  RunEffectCommand(command, bitmap);
  HBITMAP result = bitmap.DetachHandle();
  EXPECT_TRUE(result);
  return {result ? StoreOf(*result.get()) : std::vector<std::uint8_t>{}, BinarizeThreshold};
}

}  // namespace

// Above the one-thread limit; an odd width gives fill bytes, and 803 rows (160 mosaic cell
// rows) split unevenly into the bands of the default (one per core) and of 3 and 7 bands.
TEST_P(RowBandPaths, EveryEffectGivesTheSameBytesInBandsAsOnOneThread) {
  constexpr int kWidth = 1501, kHeight = 803;
  ASSERT_GE(std::int64_t{kWidth} * kHeight, kRowBandMinimumPixels);
  HBITMAP noise = NoisePicture(kWidth, kHeight, 13);
  for (const EffectCommand& command : EffectCommands()) {
    const Outcome single = RunCommand(command, *noise.get(), 1);
    ASSERT_EQ(single.bytes.size(), static_cast<std::size_t>(kHeight) * noise->Stride());
    for (std::int32_t bands : {0, 3, 7}) {
      const Outcome split = RunCommand(command, *noise.get(), bands);
      EXPECT_TRUE(split.bytes == single.bytes) << command.name << " in " << bands << " bands";
      EXPECT_EQ(split.threshold, single.threshold) << command.name << " in " << bands;
    }
  }
}

LUMIVANE_ON_BOTH_PATHS(RowBandPaths);

TEST(RowBands, SmallPicturesStayOnTheCallingThreadAndLargeOnesUseEveryCore) {
  SetRowBandsForTesting(0);
  const std::int32_t cores =
      static_cast<std::int32_t>(std::max(1u, std::thread::hardware_concurrency()));
  EXPECT_EQ(RowBandCount(kRowBandMinimumPixels - 1, 1000), 1);
  EXPECT_EQ(RowBandCount(kRowBandMinimumPixels, 1000), std::min(cores, 1000));
  EXPECT_EQ(RowBandCount(kRowBandMinimumPixels * 4, 1), 1);  // never more bands than rows
  const std::thread::id caller = std::this_thread::get_id();
  int calls = 0;
  ForEachRowBand(kRowBandMinimumPixels - 1, 1000,
                 [&](std::int32_t first, std::int32_t end, std::int32_t band) {
                   ++calls;
                   EXPECT_EQ(std::this_thread::get_id(), caller);
                   EXPECT_EQ(first, 0);
                   EXPECT_EQ(end, 1000);
                   EXPECT_EQ(band, 0);
                 });
  EXPECT_EQ(calls, 1);
}

TEST(RowBands, BandsCoverEveryRowOnceAndTheTopmostFailureReachesTheCaller) {
  SetRowBandsForTesting(7);
  std::vector<std::atomic<int>> visits(100);
  try {
    ForEachRowBand(1, 100, [&](std::int32_t first, std::int32_t end, std::int32_t band) {
      for (std::int32_t y = first; y < end; ++y) ++visits[static_cast<std::size_t>(y)];
      if (band == 2 || band == 5) throw std::runtime_error("band " + std::to_string(band));
    });
    ADD_FAILURE() << "no failure propagated";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "band 2");
  }
  for (const std::atomic<int>& v : visits) EXPECT_EQ(v, 1);  // all bands ran to their end
  // Inside the effect frame a failing band gives the source back, on the calling thread.
  HBITMAP input = NoisePicture(40, 30, 5);
  const std::vector<Bgr> colours = PixelsOf(*input.get());
  HBITMAP result = RunEffect(std::move(input), [](const TBitmap& source, TBitmap& destination) {
    ForEachRowBand(1, source.Height(), [&](std::int32_t first, std::int32_t, std::int32_t) {
      destination.RowAt(first)[0] = 1;
      source.RowAt(source.Height() + first);  // out of range: throws
    });
  });
  SetRowBandsForTesting(0);
  ASSERT_TRUE(result);
  EXPECT_EQ(PixelsOf(*result.get()), colours);
}

// A pass started from inside a band would hang on the pass in progress; it ends the program
// with a message instead, whichever thread the band runs on.
TEST(RowBandsDeathTest, APassInsideABandEndsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        SetRowBandsForTesting(2);
        ForEachRowBand(0, 2, [](std::int32_t, std::int32_t, std::int32_t) {
          ForEachRowBand(0, 2, [](std::int32_t, std::int32_t, std::int32_t) {});
        });
      },
      "band pass started inside a band");
}
