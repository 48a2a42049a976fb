// Drawing a native image: where the rows start for each header form, bit fields, top-down rows,
// and blocks too short for what their header announces.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "platform/errors.h"
#include "platform/picture_files.h"
#include "support/dib_builder.h"
#include "support/test_support.h"
#include "twain/TwainUtils.h"

namespace {

using Colour = std::array<std::uint8_t, 3>;  // blue, green, red

struct OffsetCase {
  const char* name;
  std::vector<std::uint8_t> dib;
  std::size_t rowsStart;          // where the rows must start
  std::vector<Colour> topRow;     // the expected colours of row 0 (the top)
  std::vector<Colour> bottomRow;  // and of the last row
};

// Two rows of two pixels each.
std::vector<OffsetCase> OffsetCases() {
  std::vector<OffsetCase> cases;
  {  // Core header, 1 bit: two 3-byte entries; rows 12 + 6 bytes in.
    DibBuilder d;
    d.CoreHeader(2, 2, 1).Bytes({10, 20, 30}).Bytes({40, 50, 60});
    d.Bytes({0x80, 0, 0, 0}).Bytes({0x40, 0, 0, 0});  // bottom row: 1 0; top row: 0 1
    cases.push_back({"core 1-bit",
                     d.bytes,
                     12 + 6,
                     {{10, 20, 30}, {40, 50, 60}},
                     {{40, 50, 60}, {10, 20, 30}}});
  }
  {  // Info header, 8 bits, colours used 0: 256 entries of 4 bytes; rows 40 + 1024 in.
    DibBuilder d;
    d.InfoHeader(2, 2, 8);
    for (int i = 0; i < 256; ++i)
      d.Bytes({static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i), 7, 0});
    d.Bytes({3, 4, 0, 0}).Bytes({200, 201, 0, 0});
    cases.push_back({"info 8-bit, all colours",
                     d.bytes,
                     40 + 1024,
                     {{200, 55, 7}, {201, 54, 7}},
                     {{3, 252, 7}, {4, 251, 7}}});
  }
  {  // Info header, 8 bits, colours used 16: rows 40 + 64 in.
    DibBuilder d;
    d.InfoHeader(2, 2, 8, 0, 16);
    for (int i = 0; i < 16; ++i) d.Bytes({static_cast<std::uint8_t>(16 * i), 1, 2, 0});
    d.Bytes({15, 0, 0, 0}).Bytes({1, 2, 0, 0});
    cases.push_back({"info 8-bit, 16 colours",
                     d.bytes,
                     40 + 64,
                     {{16, 1, 2}, {32, 1, 2}},
                     {{240, 1, 2}, {0, 1, 2}}});
  }
  {  // Info header, 24 bits: no table; rows 40 in.
    DibBuilder d;
    d.InfoHeader(2, 2, 24);
    d.Bytes({1, 2, 3, 4, 5, 6, 0, 0}).Bytes({7, 8, 9, 10, 11, 12, 0, 0});
    cases.push_back(
        {"info 24-bit", d.bytes, 40, {{7, 8, 9}, {10, 11, 12}}, {{1, 2, 3}, {4, 5, 6}}});
  }
  {  // Bit fields after a 40-byte header: 5-6-5 masks, rows 40 + 12 in.
    DibBuilder d;
    d.InfoHeader(2, 2, 16, 3).U32(0xF800).U32(0x07E0).U32(0x001F);
    d.U16(0xF800).U16(0x001F).U16(0x07E0).U16(0xFFFF);  // bottom: red, blue; top: green, white
    cases.push_back({"bit fields 5-6-5",
                     d.bytes,
                     40 + 12,
                     {{0, 255, 0}, {255, 255, 255}},
                     {{0, 0, 255}, {255, 0, 0}}});
  }
  {  // Top-down (negative height): the first row in the block is the top.
    DibBuilder d;
    d.InfoHeader(2, -2, 24);
    d.Bytes({1, 2, 3, 4, 5, 6, 0, 0}).Bytes({7, 8, 9, 10, 11, 12, 0, 0});
    cases.push_back(
        {"top-down 24-bit", d.bytes, 40, {{1, 2, 3}, {4, 5, 6}}, {{7, 8, 9}, {10, 11, 12}}});
  }
  return cases;
}

// Draws the first size bytes of dib from a block of exactly that size, so that the sanitizers
// see any read beyond it.
void Draw(TBitmap& bitmap, const std::vector<std::uint8_t>& dib, std::size_t size) {
  const auto block = std::make_unique<std::uint8_t[]>(size == 0 ? 1 : size);
  std::copy(dib.begin(), dib.begin() + static_cast<std::ptrdiff_t>(size), block.get());
  DrawPackedDib(bitmap, block.get(), size);
}

std::vector<Colour> RowColours(const TBitmap& bitmap, int y) {
  std::vector<Colour> out;
  for (int x = 0; x < bitmap.Width(); ++x) out.push_back(PixelColour(*bitmap.Object(), x, y));
  return out;
}

TEST(NativeImage, RowsStartAfterTheHeaderAndItsTable) {
  for (const OffsetCase& c : OffsetCases()) {
    SCOPED_TRACE(c.name);
    TBitmap bitmap;
    bitmap.AdoptHandle(MakeFlatPicture(5, 7, {1, 1, 1}));
    Draw(bitmap, c.dib, c.dib.size());
    ASSERT_EQ(bitmap.Width(), 2);
    ASSERT_EQ(bitmap.Height(), 2);
    EXPECT_EQ(bitmap.Format(), PixelFormat::pf24bit);
    EXPECT_EQ(RowColours(bitmap, 0), c.topRow);
    EXPECT_EQ(RowColours(bitmap, 1), c.bottomRow);
    // The rows are where the rule puts them: a block ending one byte into them is too short.
    EXPECT_THROW(Draw(bitmap, c.dib, c.rowsStart + 1), EReadError);
  }
}

TEST(NativeImage, ABlockTooShortForItsHeaderTableOrRowsFailsWithAMessage) {
  std::vector<std::uint8_t> palette8;
  {
    DibBuilder d;
    d.InfoHeader(2, 2, 8);
    d.Repeat(0, 1024 + 8);
    palette8 = d.bytes;
  }
  const std::vector<std::uint8_t> rgb = Dib24(3, 3, 1);
  struct Case {
    const char* name;
    std::vector<std::uint8_t> dib;
    std::size_t size;
  };
  const Case cases[] = {
      {"no header size", rgb, 3},
      {"header cut", rgb, 39},
      {"core header cut", DibBuilder().CoreHeader(1, 1, 24).Bytes({0, 0, 0, 0}).bytes, 11},
      {"masks cut", DibBuilder().InfoHeader(1, 1, 16, 3).U32(0xF800).U32(0x07E0).bytes, 48},
      {"colour table cut", palette8, 40 + 1000},
      {"rows cut", rgb, rgb.size() - 13},
      {"empty", rgb, 0},
  };
  for (const Case& c : cases) {
    TBitmap bitmap;
    bitmap.AdoptHandle(MakeFlatPicture(1, 1, {1, 2, 3}));
    try {
      Draw(bitmap, c.dib, c.size);
      ADD_FAILURE() << c.name << " drew";
    } catch (const EReadError& error) {
      EXPECT_STREQ(error.what(), "ストリームからの読み込みエラー") << c.name;
    }
    EXPECT_EQ(bitmap.Width(), 1) << c.name << ": the target is untouched";
  }
}

// A bitmap cut inside its last row, past the row's fill bytes and into its pixels, fails with the
// read error through both readers of bitmaps: the file reader and the native image parser. The
// last row in the data is the top row of a bottom-up bitmap.
TEST(NativeImage, ABitmapCutInsideItsLastRowFailsInBothReaders) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> dib;
    std::size_t rowBytes;  // pixels of a row, fill bytes not counted
    std::size_t rowStride;
    std::uint32_t rowsStart;
  };
  std::vector<Case> cases;
  for (int width : {1, 2, 5, 8})
    cases.push_back({"24 bits", Dib24(width, 3, 9), 3u * width, (3u * width + 3) / 4 * 4, 40});
  {
    DibBuilder d;
    d.InfoHeader(5, 2, 8, 0, 2).U32(0x000000).U32(0xFFFFFF);
    d.Repeat(1, 16);  // two rows of 5 indices and 3 fill bytes
    cases.push_back({"8 bits", d.bytes, 5, 8, 48});
  }
  ScratchDir dir;
  for (const Case& c : cases) {
    const std::size_t padding = c.rowStride - c.rowBytes;
    for (std::size_t cut : {std::size_t{1}, (c.rowBytes + 1) / 2, c.rowBytes - 1}) {
      if (cut == 0) continue;
      const std::size_t size = c.dib.size() - padding - cut;
      SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(c.rowBytes) + " bytes a row, " +
                   std::to_string(cut) + " cut");

      TBitmap drawn;
      drawn.AdoptHandle(MakeFlatPicture(1, 1, {1, 2, 3}));
      try {
        Draw(drawn, c.dib, size);
        ADD_FAILURE() << "the native image parser drew it";
      } catch (const EReadError& error) {
        EXPECT_EQ(error.Message(), msg::kStreamRead);
      }
      EXPECT_EQ(drawn.Width(), 1);

      std::vector<std::uint8_t> file = BitmapFile(c.dib, c.rowsStart);
      file.resize(14 + size);
      WriteBytes(dir / "cut.bmp", file);
      TBitmap opened;
      opened.AdoptHandle(MakeFlatPicture(1, 1, {1, 2, 3}));
      try {
        LoadPictureFile(opened, dir / "cut.bmp");
        ADD_FAILURE() << "the file reader read it";
      } catch (const EReadError& error) {
        EXPECT_EQ(error.Message(), msg::kStreamRead);
      }
      EXPECT_EQ(opened.Width(), 1);
    }
  }
}

}  // namespace
