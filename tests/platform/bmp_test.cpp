#include "platform/bmp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <new>
#include <random>

#include "platform/errors.h"
#include "support/dib_builder.h"
#include "support/test_support.h"

// The largest single allocation since the last reset, to show that a file's claims are checked
// before memory is taken for them.
static std::atomic<std::size_t> largestAllocation{0};
void* operator new(std::size_t size) {
  std::size_t seen = largestAllocation.load();
  while (size > seen && !largestAllocation.compare_exchange_weak(seen, size)) {
  }
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
// These replace every form of new and delete, so free() always gets memory from malloc(); GCC
// sees only the free() of memory from operator new and calls it a mismatch.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
#pragma GCC diagnostic pop

namespace {

struct Variant {
  const char* name;
  const char* convertArgs;  // options and output prefix for ImageMagick
  std::uint32_t headerSize;
  int bitCount;
  std::uint32_t compression;
};

// Every kind of bitmap file ImageMagick writes, checked by its header so the test knows what it
// covers.
const Variant kVariants[] = {
    {"info 24", "-type TrueColor BMP3:", 40, 24, 0},
    {"v5 24", "-type TrueColor BMP:", 124, 24, 0},
    {"core 24", "-type TrueColor BMP2:", 12, 24, 0},
    {"info 8", "-colors 50 -type Palette -compress None BMP3:", 40, 8, 0},
    {"info 8 rle", "-colors 50 -type Palette -compress RLE BMP3:", 40, 8, 1},
    {"v5 8 rle", "-colors 50 -type Palette -compress RLE BMP:", 124, 8, 1},
    {"info 4", "-colors 12 -type Palette -compress None BMP3:", 40, 4, 0},
    {"info 1", "-monochrome -compress None BMP3:", 40, 1, 0},
    {"core 8", "-colors 50 -type Palette BMP2:", 12, 8, 0},
    {"core 1", "-monochrome BMP2:", 12, 1, 0},
    {"v5 565", "-define bmp:subtype=RGB565 BMP:", 124, 16, 3},
    {"v5 555", "-define bmp:subtype=RGB555 BMP:", 124, 16, 3},
    {"v5 1555", "-alpha set -define bmp:subtype=ARGB1555 BMP:", 124, 16, 3},
    {"v5 4444", "-alpha set -define bmp:subtype=ARGB4444 BMP:", 124, 16, 3},
    {"v5 8888", "-alpha set -define bmp:subtype=ARGB8888 BMP:", 124, 32, 3},
};

// A noisy picture with smooth parts, written as PPM for ImageMagick.
std::string MakeSource(const ScratchDir& dir, int width, int height) {
  std::mt19937 random(width * 1000 + height);
  std::string ppm = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      ppm += static_cast<char>(x * 255 / width);
      ppm += static_cast<char>(random() & 0xFF);
      ppm += static_cast<char>(y * 255 / height);
    }
  const std::string path = dir / "source.ppm";
  WriteBytes(path, std::vector<std::uint8_t>(ppm.begin(), ppm.end()));
  return path;
}

// What ImageMagick decodes a file to.
std::vector<Bgr> DecodedByImageMagick(const ScratchDir& dir, const std::string& file) {
  const std::string ppm = dir / "decoded.ppm";
  EXPECT_EQ(
      RunShell("convert " + ShellQuote(file) + " -alpha off -depth 8 " + ShellQuote("ppm:" + ppm)),
      0);
  return ReadPnm(ppm).pixels;
}

std::vector<Bgr> Decoded24(const std::vector<std::uint8_t>& file) {
  TBitmap picture;
  picture.AdoptHandle(DecodeBitmapFile(file));
  picture.ConvertTo24Bit();
  return PixelsOf(*picture.Object());
}

// What a decode ends with: the picture (size, format, colour table, masks and every byte of
// its store), or the reader's error and message. Anything else is reported as unexpected.
std::string Outcome(const std::function<HBITMAP()>& decode) {
  try {
    const HBITMAP h = decode();
    if (!h) return "empty";
    const BitmapObject& o = *h.get();
    std::string s = std::to_string(o.Width()) + "x" + std::to_string(o.Height()) + "/" +
                    std::to_string(BitsPerPixel(o.Format())) + "/" + std::to_string(o.Masks().red) +
                    "," + std::to_string(o.Masks().green) + "," + std::to_string(o.Masks().blue) +
                    ":";
    for (const RgbQuad& q : o.Palette()) s += {char(q.blue), char(q.green), char(q.red)};
    return s.append(reinterpret_cast<const char*>(o.Bits()), o.SizeBytes());
  } catch (const EReadError& e) {
    return "read error " + e.Message();
  } catch (const EInvalidGraphic& e) {
    return "invalid " + e.Message();
  } catch (const EOutOfResources& e) {
    return "too large " + e.Message();
  } catch (const std::exception& e) {
    return std::string("unexpected ") + e.what();
  }
}

// Decoding must either work or fail with one of the reader's own errors.
void ExpectCleanOutcome(const std::vector<std::uint8_t>& file, const std::string& what) {
  try {
    HBITMAP h = DecodeBitmapFile(file);
  } catch (const EReadError&) {
  } catch (const EInvalidGraphic&) {
  } catch (const EOutOfResources&) {
  } catch (const std::exception& e) {
    ADD_FAILURE() << what << ": unexpected " << e.what();
  }
}

// Decoding a file from the disk, piece by piece, ends as decoding its bytes in memory does.
void ExpectSameFromTheFile(const ScratchDir& dir, const std::vector<std::uint8_t>& file,
                           const std::string& what) {
  const std::string path = dir / "from-disk.bmp";
  std::filesystem::remove(path);  // a new file: an emptied one is flushed to the disk on close
  WriteBytes(path, file);
  const std::string inMemory = Outcome([&] { return DecodeBitmapFile(file); });
  EXPECT_FALSE(inMemory.starts_with("unexpected")) << what << ": " << inMemory;
  EXPECT_TRUE(Outcome([&] { return DecodeBitmapFile(*OpenByteSource(path)); }) == inMemory) << what;
}

}  // namespace

class ImageMagickVariants : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(ImageMagickVariants, ReadToTheSamePixelsAndRoundTrip) {
  ASSERT_TRUE(HaveProgram("convert")) << "ImageMagick is needed (scripts/setup installs it)";
  const auto [width, height] = GetParam();
  ScratchDir dir;
  const std::string source = MakeSource(dir, width, height);
  for (const Variant& v : kVariants) {
    SCOPED_TRACE(v.name);
    const std::string file = dir / "variant.bmp";
    ASSERT_EQ(RunShell("convert " + ShellQuote(source) + " " + v.convertArgs + ShellQuote(file)),
              0);
    const auto bytes = ReadBytes(file);
    ExpectSameFromTheFile(dir, bytes, v.name);
    ASSERT_GE(bytes.size(), 30u);
    ASSERT_EQ(GetU32(bytes, 14), v.headerSize);
    const int bitCount = bytes[v.headerSize == 12 ? 24 : 28];
    ASSERT_EQ(bitCount, v.bitCount);
    if (v.headerSize != 12) {
      ASSERT_EQ(GetU32(bytes, 30), v.compression);
    }

    auto expected = DecodedByImageMagick(dir, file);
    if (std::string_view(v.name) == "v5 4444") {
      // ImageMagick widens 4-bit channels by shifting, so its white is 240; ours repeats the
      // bits, as for 5- and 6-bit channels, and white stays 255.
      for (Bgr& p : expected)
        for (auto& c : p) c = static_cast<std::uint8_t>(c | (c >> 4));
    }
    EXPECT_EQ(Decoded24(bytes), expected);

    // Our writer keeps the format, and what it writes reads back the same, by us and by
    // ImageMagick.
    TBitmap picture;
    picture.AdoptHandle(DecodeBitmapFile(bytes));
    EXPECT_EQ(BitsPerPixel(picture.Format()), v.bitCount);
    const auto written = EncodeBitmapFile(*picture.Object());
    EXPECT_EQ(Decoded24(written), expected);
    WriteBytes(dir / "ours.bmp", written);
    if (std::string_view(v.name) != "v5 4444") {
      EXPECT_EQ(DecodedByImageMagick(dir, dir / "ours.bmp"), expected);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ImageMagickVariants,
                         ::testing::Values(std::pair{13, 7}, std::pair{17, 16}, std::pair{64, 3}));

TEST(BitmapReader, TwentyFourBitRoundTripIsExact) {
  HBITMAP original = MakePicture(7, 5, [](int x, int y) {
    return Bgr{uint8_t(x * 31), uint8_t(y * 50), uint8_t(x ^ y)};
  });
  const auto file = EncodeBitmapFile(*original.get());
  EXPECT_EQ(file.size(), 54u + 24u * 5u);
  HBITMAP back = DecodeBitmapFile(file);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Format(), PixelFormat::pf24bit);
  EXPECT_EQ(PixelsOf(*back.get()), PixelsOf(*original.get()));
  EXPECT_EQ(EncodeBitmapFile(*back.get()), file);
}

TEST(BitmapReader, TopDownRowsAndThirtyTwoBitPixels) {
  HBITMAP original = MakePicture(5, 4, [](int x, int y) {
    return Bgr{uint8_t(x), uint8_t(y), uint8_t(x * y)};
  });
  const auto bottomUp = EncodeBitmapFile(*original.get());
  // The same picture stored top-down: rows in the other order, height negative.
  std::vector<std::uint8_t> topDown(bottomUp.begin(), bottomUp.begin() + 54);
  PutU32(topDown, 22, static_cast<std::uint32_t>(-4));
  for (int r = 3; r >= 0; --r)
    topDown.insert(topDown.end(), bottomUp.begin() + 54 + r * 16,
                   bottomUp.begin() + 54 + (r + 1) * 16);
  EXPECT_EQ(Decoded24(topDown), PixelsOf(*original.get()));

  // 32 bits without masks: blue, green, red and a byte that is dropped.
  std::vector<std::uint8_t> wide(bottomUp.begin(), bottomUp.begin() + 54);
  wide[28] = 32;
  for (int r = 0; r < 4; ++r)
    for (int x = 0; x < 5; ++x) {
      const auto* p = &bottomUp[54 + r * 16 + 3 * x];
      wide.insert(wide.end(), {p[0], p[1], p[2], 0xAB});
    }
  PutU32(wide, 2, static_cast<std::uint32_t>(wide.size()));
  EXPECT_EQ(Decoded24(wide), PixelsOf(*original.get()));
}

// Hand-written run-length streams, each read by us and by ImageMagick. An absolute run's
// bytes are padded to a 16-bit word: an odd byte count (3 or 5 indices of 8 bits, 5 or 6 of 4
// bits) is followed by a byte to skip, an even one is not. Every row is filled to its end:
// ImageMagick takes an end of bitmap before the last pixel for a cut file.
TEST(BitmapReader, RunLengthStreamsReadAsImageMagickReadsThem) {
  const struct {
    const char* what;
    int bits, width, height;
    std::vector<std::uint8_t> rle;
    std::vector<std::vector<int>> rows;  // palette indices, from the top row
  } cases[] = {
      {"4-bit delta and absolute runs",
       4,
       6,
       3,
       {5, 0x12,                           // bottom row: 1 2 1 2 1, then
        0, 0,                              // end of line (pixel 5 stays 0)
        0, 2,    2,    0,                  // delta: two pixels right
        0, 3,    0x34, 0x50,               // absolute: 3 4 5 (two bytes)
        0, 0,    4,    0x77, 2, 0, 0, 1},  // top row: 7 7 7 7 0 0, end of bitmap
       {{7, 7, 7, 7, 0, 0}, {0, 0, 3, 4, 5, 0}, {1, 2, 1, 2, 1, 0}}},
      {"8-bit absolute 3, padded",
       8,
       6,
       2,
       {0, 3, 1, 2, 3, 0, 2, 9, 0, 0, 6, 4, 0, 1},
       {{4, 4, 4, 4, 4, 4}, {1, 2, 3, 9, 9, 0}}},
      {"8-bit absolute 4",
       8,
       6,
       2,
       {0, 4, 1, 2, 3, 4, 2, 9, 0, 0, 6, 4, 0, 1},
       {{4, 4, 4, 4, 4, 4}, {1, 2, 3, 4, 9, 9}}},
      {"8-bit absolute 5, padded, to the row's end",
       8,
       5,
       2,
       {0, 5, 5, 6, 7, 8, 9, 0, 0, 0, 0, 3, 1, 2, 3, 0, 2, 0, 0, 1},
       {{1, 2, 3, 0, 0}, {5, 6, 7, 8, 9}}},
      {"4-bit absolute 5, padded",
       4,
       7,
       2,
       {0, 5, 0x12, 0x34, 0x50, 0, 2, 0x99, 0, 0, 7, 0xAB, 0, 1},
       {{10, 11, 10, 11, 10, 11, 10}, {1, 2, 3, 4, 5, 9, 9}}},
      {"4-bit absolute 6, padded",
       4,
       7,
       2,
       {0, 6, 0x12, 0x34, 0x56, 0, 1, 0x99, 0, 0, 0, 3, 0xCD, 0xE0, 4, 0, 0, 1},
       {{12, 13, 14, 0, 0, 0, 0}, {1, 2, 3, 4, 5, 6, 9}}},
      {"4-bit absolute 7",
       4,
       8,
       1,
       {0, 7, 0x12, 0x34, 0x56, 0x70, 1, 0x88, 0, 1},
       {{1, 2, 3, 4, 5, 6, 7, 8}}},
  };
  ASSERT_TRUE(HaveProgram("convert"));
  ScratchDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DibBuilder dib;
    dib.InfoHeader(c.width, c.height, c.bits, c.bits == 8 ? 1 : 2, 16);
    for (int i = 0; i < 16; ++i) dib.Bytes({uint8_t(16 * i), uint8_t(16 * i), uint8_t(16 * i), 0});
    const auto rowsStart = static_cast<std::uint32_t>(dib.bytes.size());
    dib.bytes.insert(dib.bytes.end(), c.rle.begin(), c.rle.end());
    const auto file = BitmapFile(dib.bytes, rowsStart);
    std::vector<Bgr> expected;
    for (const auto& row : c.rows)
      for (const int n : row)
        expected.push_back({uint8_t(16 * n), uint8_t(16 * n), uint8_t(16 * n)});
    EXPECT_EQ(Decoded24(file), expected);
    WriteBytes(dir / "rle.bmp", file);
    EXPECT_EQ(DecodedByImageMagick(dir, dir / "rle.bmp"), expected);
    ExpectSameFromTheFile(dir, file, c.what);
  }
}

TEST(BitmapReader, TruncatedAndMutatedFilesFailCleanly) {
  ASSERT_TRUE(HaveProgram("convert"));
  ScratchDir dir;
  const std::string source = MakeSource(dir, 9, 5);
  std::mt19937 random(42);
  for (const Variant& v : kVariants) {
    const std::string file = dir / "variant.bmp";
    ASSERT_EQ(RunShell("convert " + ShellQuote(source) + " " + v.convertArgs + ShellQuote(file)),
              0);
    const auto bytes = ReadBytes(file);
    for (std::size_t size = 0; size < bytes.size(); ++size)
      ExpectSameFromTheFile(dir, std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + size),
                            std::string(v.name) + " cut at " + std::to_string(size));
    for (int round = 0; round < 3000; ++round) {
      auto mutated = bytes;
      const int flips = 1 + random() % 4;
      for (int i = 0; i < flips; ++i) {
        const std::size_t at = random() % std::min<std::size_t>(mutated.size(), 140);
        mutated[at] = static_cast<std::uint8_t>(random());
      }
      ExpectCleanOutcome(mutated, std::string(v.name) + " mutated");
    }
  }
}

TEST(BitmapReader, HugeClaimsAreRejectedBeforeAllocating) {
  ScratchDir dir;
  const std::string truncated = msg::kStreamRead, tooLarge = msg::kImageTooLarge;
  const struct {
    const char* what;
    std::uint32_t headerSize;
    std::int32_t width, height;
    int bitCount;
    std::uint32_t compression;
    std::uint32_t pixelOffset;  // 0: after the colour table
    const std::string& error;
  } cases[] = {
      {"24-bit 100000 x 100000", 40, 100000, 100000, 24, 0, 0, truncated},
      {"top-down 24-bit", 40, 100000, -100000, 24, 0, 0, truncated},
      {"8-bit run-length, table cut", 40, 100000, 100000, 8, 1, 0, truncated},
      {"8-bit run-length beyond the limit", 40, 100000, 100000, 8, 1, 54, tooLarge},
      {"4-bit run-length beyond the limit", 40, 70000, 70000, 4, 2, 54, tooLarge},
      {"32-bit fields", 40, 65536, 65536, 32, 3, 0, truncated},
      {"core 65535 x 65535", 12, 65535, 65535, 24, 0, 0, truncated},
      {"width overflow", 40, 0x7FFFFFFF, 3, 32, 0, 0, truncated},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> file(100, 0);
    file[0] = 'B';
    file[1] = 'M';
    PutU32(file, 10, c.pixelOffset);
    PutU32(file, 14, c.headerSize);
    if (c.headerSize == 12) {
      file[18] = c.width & 0xFF, file[19] = (c.width >> 8) & 0xFF;
      file[20] = c.height & 0xFF, file[21] = (c.height >> 8) & 0xFF;
      file[22] = 1;
      file[24] = static_cast<std::uint8_t>(c.bitCount);
    } else {
      PutU32(file, 18, static_cast<std::uint32_t>(c.width));
      PutU32(file, 22, static_cast<std::uint32_t>(c.height));
      file[26] = 1;
      file[28] = static_cast<std::uint8_t>(c.bitCount);
      PutU32(file, 30, c.compression);
      if (c.compression == 3)
        PutU32(file, 54, 0xFF0000), PutU32(file, 58, 0xFF00), PutU32(file, 62, 0xFF);
    }
    // In memory, and from the disk.
    WriteBytes(dir / "huge.bmp", file);
    for (const bool fromDisk : {false, true}) {
      largestAllocation = 0;
      try {
        if (fromDisk)
          DecodeBitmapFile(*OpenByteSource(dir / "huge.bmp"));
        else
          DecodeBitmapFile(file);
        ADD_FAILURE() << c.what << " decoded";
      } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), c.error) << c.what;
      }
      EXPECT_LT(largestAllocation.load(), 64u * 1024) << c.what << (fromDisk ? " from disk" : "");
    }
  }
}

// Layouts that are valid though unusual, from tests/platform/regressions/bitmap_file: the
// pixels are those their headers describe.
TEST(BitmapReader, UnusualValidLayoutsReadAsTheHeadersSay) {
  const auto gray = [](int n) { return Bgr{uint8_t(n * 16), uint8_t(n * 16), uint8_t(n * 16)}; };
  const struct {
    const char* file;
    int width, height;
    std::vector<std::pair<std::pair<int, int>, Bgr>> pixels;  // (x, y from the top), colour
  } cases[] = {
      {"sparse-rle8-early-end.bmp",
       2000,
       1500,
       {{{0, 1499}, gray(3)}, {{4, 1499}, gray(3)}, {{5, 1499}, gray(0)}, {{0, 0}, gray(0)}}},
      // Eleven deltas of 255 x 255 after the first row's run of four.
      {"sparse-rle4-deltas.bmp",
       3000,
       3000,
       {{{0, 2999}, gray(1)},
        {{3, 2999}, gray(2)},
        {{4 + 11 * 255, 2999 - 11 * 255}, gray(3)},
        {{5 + 11 * 255, 2999 - 11 * 255}, gray(4)},
        {{6 + 11 * 255, 2999 - 11 * 255}, gray(0)}}},
      {"core-short-table.bmp",
       3,
       2,
       {{{0, 1}, gray(0)}, {{1, 1}, gray(1)}, {{2, 1}, gray(2)}, {{0, 0}, gray(2)}}},
      {"24bit-colours-used-1000.bmp", 2, 2, {{{0, 1}, {1, 2, 3}}, {{1, 0}, {10, 11, 12}}}},
      {"2bit.bmp",
       5,
       2,
       {{{0, 1}, gray(0)},
        {{1, 1}, gray(1)},
        {{2, 1}, gray(2)},
        {{3, 1}, gray(3)},
        {{4, 1}, gray(3)},
        {{0, 0}, gray(3)},
        {{3, 0}, gray(0)},
        {{4, 0}, gray(1)}}},
      {"os2-16-byte-header.bmp", 2, 2, {{{1, 1}, {4, 5, 6}}, {{0, 0}, {7, 8, 9}}}},
  };
  ScratchDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const auto bytes = ReadBytes(std::string(LUMIVANE_REGRESSIONS) + "/bitmap_file/" + c.file);
    ExpectSameFromTheFile(dir, bytes, c.file);
    TBitmap picture;
    picture.AdoptHandle(DecodeBitmapFile(bytes));
    ASSERT_EQ(picture.Width(), c.width);
    ASSERT_EQ(picture.Height(), c.height);
    for (const auto& [at, colour] : c.pixels)
      EXPECT_EQ(PixelColour(*picture.Object(), at.first, at.second), colour)
          << at.first << "," << at.second;
  }
}
