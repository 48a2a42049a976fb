// The conversion of scanner frames into the packed bitmap, checked through the program's own
// bitmap reader against pixels computed here from the frame bytes.
#include "scanner/device/packed_dib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/bitmap.h"
#include "platform/bmp.h"
#include "support/test_support.h"

namespace {

using scanner::FrameData;
using scanner::FrameKind;

std::uint8_t Byte(int x, int y, int c) {
  return static_cast<std::uint8_t>(x * 37 + y * 11 + c * 101 + 3);
}

// 16-bit samples just above and just below a half step.
std::uint16_t Sample16(std::uint8_t v, int x) {
  return static_cast<std::uint16_t>(std::clamp(v * 257 + (x % 2 ? 128 : -129), 0, 65535));
}

// A frame of width pixels and height lines whose sample (x, y, c) is Byte(x, y, c) (16-bit
// samples: Sample16, in the machine's order); line art sets bit x when (x + y) % 3 == 0.
// padding bytes end every line; linesDelivered lines come, declaredLines are announced.
FrameData MakeFrame(FrameKind kind, int depth, int width, int padding, int linesDelivered,
                    int declaredLines) {
  FrameData frame;
  frame.kind = kind;
  frame.depth = depth;
  frame.pixelsPerLine = width;
  const int samples = kind == FrameKind::kRgb ? 3 : 1;
  frame.bytesPerLine = (width * samples * depth + 7) / 8 + padding;
  frame.lines = declaredLines;
  frame.bytes.assign(static_cast<std::size_t>(frame.bytesPerLine) * linesDelivered, 0xA5);
  const int channel = kind == FrameKind::kGreen ? 1 : kind == FrameKind::kBlue ? 2 : 0;
  for (int y = 0; y < linesDelivered; ++y) {
    std::uint8_t* row = frame.bytes.data() + static_cast<std::size_t>(y) * frame.bytesPerLine;
    if (depth == 1) std::memset(row, 0, (width + 7) / 8);
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < samples; ++c) {
        const int i = x * samples + c;
        const std::uint8_t v = Byte(x, y, samples == 3 ? c : channel);
        if (depth == 8) row[i] = v;
        if (depth == 16) {
          const std::uint16_t sample = Sample16(v, x);
          std::memcpy(row + 2 * i, &sample, 2);
        }
        if (depth == 1 && (x + y) % 3 == 0)
          row[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
      }
  }
  return frame;
}

// What the program should see at (x, y) for a sample of frame: the 16-bit value rounded.
std::uint8_t Expected(const FrameData& frame, int x, int y, int c) {
  const std::uint8_t v = Byte(x, y, c);
  if (frame.depth == 8) return v;
  return static_cast<std::uint8_t>(std::lround(Sample16(v, x) / 257.0));
}

struct Case {
  const char* name;
  std::vector<FrameKind> kinds;
  int depth, width, padding, linesDelivered, declaredLines;
  int expectedHeight, expectedBits;
};

class PackedDibTest : public ::testing::TestWithParam<Case> {};

TEST_P(PackedDibTest, GivesTheFramesPixelsBottomUp) {
  const Case& c = GetParam();
  std::vector<FrameData> frames;
  for (FrameKind kind : c.kinds)
    frames.push_back(
        MakeFrame(kind, c.depth, c.width, c.padding, c.linesDelivered, c.declaredLines));
  // A partial line after the complete ones never counts.
  for (FrameData& frame : frames)
    if (frame.lines < 0) frame.bytes.insert(frame.bytes.end(), frame.bytesPerLine / 2, 0x11);
  const auto dib = scanner::ToPackedDib(frames, 150);
  ASSERT_TRUE(dib);

  // Header: 40 bytes, positive height (bottom-up), 150 dpi = 5906 pixels per metre.
  std::int32_t width = 0, height = 0, ppm = 0;
  std::uint16_t bits = 0;
  std::memcpy(&width, dib->data() + 4, 4);
  std::memcpy(&height, dib->data() + 8, 4);
  std::memcpy(&bits, dib->data() + 14, 2);
  std::memcpy(&ppm, dib->data() + 24, 4);
  EXPECT_EQ(width, c.width);
  EXPECT_EQ(height, c.expectedHeight);
  EXPECT_EQ(bits, c.expectedBits);
  EXPECT_EQ(ppm, 5906);

  HBITMAP decoded = DecodePackedDib(std::span(dib->data(), dib->size()));
  ASSERT_TRUE(decoded);
  TBitmap bitmap;
  bitmap.AdoptHandle(std::move(decoded));
  bitmap.ConvertTo24Bit();
  const std::vector<Bgr> pixels = PixelsOf(*bitmap.Object());
  ASSERT_EQ(pixels.size(), static_cast<std::size_t>(c.width * c.expectedHeight));
  for (int y = 0; y < c.expectedHeight; ++y)
    for (int x = 0; x < c.width; ++x) {
      Bgr want{};
      if (c.depth == 1) {
        const bool black = y < c.linesDelivered && (x + y) % 3 == 0;
        const std::uint8_t v = black ? 0 : 255;
        want = {v, v, v};
      } else if (frames.size() == 1 && c.kinds[0] == FrameKind::kGray) {
        const std::uint8_t v = Expected(frames[0], x, y, 0);
        want = {v, v, v};
      } else {
        for (int channel = 0; channel < 3; ++channel) {
          const FrameData* frame = &frames[0];
          for (const FrameData& f : frames)
            if (f.kind == static_cast<FrameKind>(channel + 2)) frame = &f;
          want[2 - channel] = Expected(*frame, x, y, channel);
        }
      }
      ASSERT_EQ(pixels[static_cast<std::size_t>(y * c.width + x)], want) << "at " << x << ", " << y;
    }
}

using K = FrameKind;
INSTANTIATE_TEST_SUITE_P(
    Frames, PackedDibTest,
    ::testing::Values(Case{"Gray8OddWidth", {K::kGray}, 8, 5, 0, 3, 3, 3, 8},
                      Case{"Gray8WiderLines", {K::kGray}, 8, 7, 5, 4, 4, 4, 8},
                      Case{"Gray16", {K::kGray}, 16, 9, 2, 3, 3, 3, 8},
                      Case{"Gray8ShortKeepsTheLinesThatCame", {K::kGray}, 8, 6, 0, 2, 5, 2, 8},
                      Case{"ThreePassShort", {K::kRed, K::kGreen, K::kBlue}, 8, 5, 1, 3, 4, 3, 24},
                      Case{"LineartShort", {K::kGray}, 1, 10, 0, 2, 6, 2, 1},
                      Case{"Gray8UnknownHeight", {K::kGray}, 8, 6, 1, 4, -1, 4, 8},
                      Case{"LineartOddWidth", {K::kGray}, 1, 13, 0, 3, 3, 3, 1},
                      Case{"LineartWholeBytes", {K::kGray}, 1, 16, 0, 3, 3, 3, 1},
                      Case{"LineartWholeWordsWiderLines", {K::kGray}, 1, 32, 2, 4, -1, 4, 1},
                      Case{"LineartWiderLinesUnknownHeight", {K::kGray}, 1, 9, 3, 5, -1, 5, 1},
                      Case{"Rgb8OddWidth", {K::kRgb}, 8, 3, 0, 2, 2, 2, 24},
                      Case{"Rgb16WiderLines", {K::kRgb}, 16, 5, 4, 3, 3, 3, 24},
                      Case{"ThreePassBgr", {K::kBlue, K::kGreen, K::kRed}, 8, 7, 1, 3, 3, 3, 24},
                      Case{
                          "ThreePassGrb16", {K::kGreen, K::kRed, K::kBlue}, 16, 3, 0, 2, 2, 2, 24}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PackedDibRefusal, FormatsThePictureCannotTakeAreRefusedWithAReason) {
  const FrameData gray = MakeFrame(K::kGray, 8, 4, 0, 2, 2);
  FrameData rgb1 = MakeFrame(K::kRgb, 8, 4, 0, 2, 2);
  rgb1.depth = 1;
  FrameData depth4 = gray;
  depth4.depth = 4;
  FrameData narrow = gray;
  narrow.bytesPerLine = 3;
  FrameData red = MakeFrame(K::kRed, 8, 4, 0, 2, 2);
  FrameData green = MakeFrame(K::kGreen, 8, 4, 0, 2, 2);
  FrameData greenWider = MakeFrame(K::kGreen, 8, 5, 0, 2, 2);
  FrameData huge = gray;
  huge.pixelsPerLine = 40000;
  huge.bytesPerLine = 40000;
  huge.lines = 20000;  // 2.4 GB at 24 bits
  const std::vector<std::vector<FrameData>> refused = {{},
                                                       {rgb1},
                                                       {depth4},
                                                       {narrow},
                                                       {red, green},
                                                       {red, green, green},
                                                       {red, green, greenWider},
                                                       {gray, gray}};
  for (std::size_t i = 0; i < refused.size(); ++i) {
    EXPECT_NE(scanner::RefusalOf(refused[i]), TWCC_SUCCESS) << "case " << i;
    EXPECT_FALSE(scanner::ToPackedDib(refused[i], 100)) << "case " << i;
  }
  EXPECT_EQ(scanner::RefusalOf(std::vector{huge}), TWCC_SUCCESS);
  EXPECT_FALSE(scanner::ToPackedDib(std::vector{huge}, 100)) << "beyond the program's limit";
  EXPECT_TRUE(scanner::FitsProgram(22000, 32000));   // 2,112,000,000 bytes
  EXPECT_FALSE(scanner::FitsProgram(22000, 33000));  // 2,178,000,000 bytes
}

}  // namespace

// Identity texts keep at most 33 bytes and never split a UTF-8 character.
#include "twain/identity_text.h"

namespace {

TEST(IdentityText, CutsAtACharacterBoundaryWithin33Bytes) {
  const std::string kana = "スキャナー";  // 3 bytes a character
  const struct {
    std::string text, kept;
  } rows[] = {
      {"test:0", "test:0"},
      {std::string(33, 'a'), std::string(33, 'a')},
      {std::string(40, 'b'), std::string(33, 'b')},
      {"airscan:e0:" + kana + kana, "airscan:e0:" + kana + "スキ"},  // 11 + 15 + 6 = 32
      {"ab" + kana + kana, "ab" + kana + kana},                      // 32 bytes: all of it
      {std::string(32, 'c') + "ä", std::string(32, 'c')},            // 2-byte character at 32
      {"", ""},
  };
  for (const auto& row : rows) {
    TW_STR32 field;
    std::memset(field.text, 0x7F, sizeof field.text);
    SetStr32Text(field, row.text);
    const std::string kept = Str32Text(field);
    EXPECT_EQ(kept, row.kept);
    for (std::size_t i = kept.size(); i < sizeof field.text; ++i) ASSERT_EQ(field.text[i], 0);
  }
}

}  // namespace
