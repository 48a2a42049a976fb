#include "platform/jpeg.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <tuple>

#include <jpeglib.h>

#include "platform/errors.h"
#include "platform/messages.h"
#include "platform/picture_files.h"
#include "support/test_support.h"

namespace {

struct JpegKind {
  const char* name;
  const char* convertArgs;
};

const JpegKind kKinds[] = {
    {"4:2:0", "-quality 85 -sampling-factor 2x2"}, {"4:2:2", "-quality 92 -sampling-factor 2x1"},
    {"4:4:4", "-quality 75 -sampling-factor 1x1"}, {"progressive", "-quality 80 -interlace Plane"},
    {"grayscale", "-colorspace Gray -quality 90"}, {"low quality", "-quality 5"},
};

// The pixels djpeg gives with its default settings.
Rgb24Image DecodedByDjpeg(const ScratchDir& dir, const std::string& jpeg) {
  const std::string ppm = dir / "djpeg.ppm";
  EXPECT_EQ(RunShell("djpeg -ppm -outfile " + ShellQuote(ppm) + " " + ShellQuote(jpeg)), 0);
  Rgb24Image image = ReadPnm(ppm);
  return image;
}

enum class Sampling { k444, k420, kGray };

struct Made {
  bool progressive = true;  // libjpeg's default progression, as cjpeg -progressive writes it
  int restartRows = 0;
  int scans = 0;  // a gray progression of this many scans instead (at most 11 * 64)
};

// A file from libjpeg's own compressor of a textured picture. libjpeg's default error handler
// ends the program on an error, which fails the test.
std::vector<std::uint8_t> MakeJpeg(int width, int height, Sampling sampling, Made made = {}) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr errors{};
  cinfo.err = jpeg_std_error(&errors);
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &out, &size);
  const int components = sampling == Sampling::kGray ? 1 : 3;
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = components;
  cinfo.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 85, TRUE);
  if (components == 3) {
    const int factor = sampling == Sampling::k420 ? 2 : 1;
    cinfo.comp_info[0].h_samp_factor = cinfo.comp_info[0].v_samp_factor = factor;
  }
  if (made.progressive) jpeg_simple_progression(&cinfo);
  cinfo.restart_in_rows = made.restartRows;
  // The DC, then the AC coefficients one by one, each in bits from the 10th down.
  std::vector<jpeg_scan_info> script;
  for (int k = 0; k < 64 && static_cast<int>(script.size()) < made.scans; ++k)
    for (int al = k == 0 ? 0 : 9; al >= 0 && static_cast<int>(script.size()) < made.scans; --al)
      script.push_back({1, {0}, k, k, al == 9 || k == 0 ? 0 : al + 1, al});
  if (made.scans > 0) {
    cinfo.scan_info = script.data();
    cinfo.num_scans = made.scans;
  }
  jpeg_start_compress(&cinfo, TRUE);
  std::mt19937 random(static_cast<unsigned>(width * 1000 + height));
  std::vector<JSAMPLE> row(static_cast<std::size_t>(width * components));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width * components; ++x)
      row[static_cast<std::size_t>(x)] =
          static_cast<JSAMPLE>(x * 5 + y * 3 + (x * y >> 4) + random() % 24);
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::vector<std::uint8_t> file(out, out + size);
  std::free(out);
  return file;
}

// The pixels libjpeg gives with the decoder's settings and no memory limit, and the number of
// scans it read.
std::vector<Bgr> DecodedByLibjpeg(const std::vector<std::uint8_t>& file, int* scans = nullptr) {
  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr errors{};
  cinfo.err = jpeg_std_error(&errors);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, file.data(), static_cast<unsigned long>(file.size()));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_EXT_BGR;
  cinfo.dct_method = JDCT_ISLOW;
  cinfo.do_fancy_upsampling = TRUE;
  jpeg_start_decompress(&cinfo);
  std::vector<Bgr> pixels(static_cast<std::size_t>(cinfo.output_width) * cinfo.output_height);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW rows[1] = {
        pixels[static_cast<std::size_t>(cinfo.output_scanline) * cinfo.output_width].data()};
    jpeg_read_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_decompress(&cinfo);
  if (scans) *scans = cinfo.input_scan_number;
  jpeg_destroy_decompress(&cinfo);
  return pixels;
}

}  // namespace

// Small progressive pictures and narrow strips, whose coefficient buffers and picture are
// smaller than libjpeg's working memory, once failed with "backing store not supported".
TEST(JpegDecoder, ProgressiveSweepDecodesAsLibjpegAndDjpeg) {
  ASSERT_TRUE(HaveProgram("djpeg"));
  std::vector<std::pair<int, int>> sizes;
  for (int side = 40; side <= 120; ++side) sizes.emplace_back(side, side);
  for (int height = 64; height <= 416; height += 8) sizes.emplace_back(16, height);
  for (int height = 48; height <= 176; height += 8) sizes.emplace_back(40, height);
  sizes.emplace_back(8, 65000);  // coefficient buffers rounded up to whole sampling units
  ScratchDir dir;
  int made = 0;
  for (const Sampling sampling : {Sampling::k444, Sampling::k420, Sampling::kGray}) {
    for (const auto& [w, h] : sizes) {
      SCOPED_TRACE(std::to_string(static_cast<int>(sampling)) + " " + std::to_string(w) + "x" +
                   std::to_string(h));
      const auto file = MakeJpeg(w, h, sampling);
      HBITMAP decoded;
      ASSERT_NO_THROW(decoded = DecodeJpeg(file));
      ASSERT_EQ(decoded->Width(), w);
      ASSERT_EQ(decoded->Height(), h);
      const auto pixels = PixelsOf(*decoded.get());
      int scans = 0;
      EXPECT_EQ(pixels, DecodedByLibjpeg(file, &scans));
      EXPECT_EQ(CountJpegScans(file, kMaxJpegScans), scans);
      // Every 16th file through the program itself as well.
      if (made++ % 16 == 0) {
        const std::string jpeg = dir / "sweep.jpg";
        WriteBytes(jpeg, file);
        EXPECT_EQ(pixels, DecodedByDjpeg(dir, jpeg).pixels);
      }
    }
  }
  EXPECT_EQ(made, 3 * 144);
}

TEST(JpegDecoder, ScansAreCountedAsLibjpegReadsThem) {
  auto commented = MakeJpeg(24, 24, Sampling::k420);
  // A comment whose bytes look like a scan's and the end of the image.
  const std::vector<std::uint8_t> comment = {0xFF, 0xFE, 0, 8, 0xFF, 0xDA, 0xFF, 0xD9, 0xFF, 0xDA};
  commented.insert(commented.begin() + 2, comment.begin(), comment.end());
  const struct {
    const char* name;
    std::vector<std::uint8_t> file;
  } cases[] = {
      {"baseline", MakeJpeg(30, 20, Sampling::k420, {.progressive = false})},
      {"progressive, restart markers", MakeJpeg(64, 64, Sampling::k444, {.restartRows = 1})},
      {"comment with marker bytes", commented},
      {"100 scans", MakeJpeg(16, 16, Sampling::kGray, {.scans = 100})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int scans = 0;
    DecodedByLibjpeg(c.file, &scans);
    EXPECT_EQ(CountJpegScans(c.file, 1000), scans);
    EXPECT_EQ(CountJpegScans(c.file, 2), std::min(scans, 3));
  }
}

// Each scan makes the decoder go over every block again: a few hundred over a large picture
// took a minute and hundreds of megabytes.
TEST(JpegDecoder, MoreScansThanTheLimitAreRefused) {
  const std::string refused = FormatMessage(msg::kJpegTooManyScans, kMaxJpegScans);
  const auto decodeMessage = [](const std::vector<std::uint8_t>& file) -> std::string {
    try {
      DecodeJpeg(file);
      return "";
    } catch (const EJPEG& e) {
      return e.Message();
    }
  };
  EXPECT_EQ(decodeMessage(MakeJpeg(16, 16, Sampling::kGray, {.scans = kMaxJpegScans})), "");
  EXPECT_EQ(decodeMessage(MakeJpeg(16, 16, Sampling::kGray, {.scans = kMaxJpegScans + 1})),
            refused);
  // The stored regressions, with their count as made.
  for (const auto& [name, scans] : {std::pair{"progressive-500-scans-4000x4000.jpg", 500},
                                    std::pair{"progressive-1000-scans-8000x8000.jpg", 1000}}) {
    SCOPED_TRACE(name);
    const auto file = ReadBytes(std::string(LUMIVANE_REGRESSIONS) + "/jpeg/" + name);
    EXPECT_EQ(CountJpegScans(file, 5000), scans);
    EXPECT_EQ(decodeMessage(file), refused);
  }
}

TEST(JpegDecoder, PixelsAreIdenticalToTheReferenceDecoder) {
  ASSERT_TRUE(HaveProgram("convert") && HaveProgram("djpeg"))
      << "ImageMagick and libjpeg-turbo-progs are needed (scripts/setup installs them)";
  ScratchDir dir;
  for (const auto& [w, h] :
       {std::pair{37, 23}, std::pair{1, 1}, std::pair{16, 9}, std::pair{301, 7}}) {
    const std::string source = dir / "source.png";
    ASSERT_EQ(RunShell("convert -seed 7 -size " + std::to_string(w) + "x" + std::to_string(h) +
                       " plasma:fractal " + ShellQuote(source)),
              0);
    for (const JpegKind& kind : kKinds) {
      SCOPED_TRACE(std::string(kind.name) + " " + std::to_string(w) + "x" + std::to_string(h));
      const std::string jpeg = dir / "picture.jpg";
      ASSERT_EQ(RunShell("convert " + ShellQuote(source) + " " + kind.convertArgs + " " +
                         ShellQuote(jpeg)),
                0);
      HBITMAP decoded = DecodeJpeg(ReadBytes(jpeg));
      ASSERT_TRUE(decoded);
      EXPECT_EQ(decoded->Format(), PixelFormat::pf24bit);
      const Rgb24Image reference = DecodedByDjpeg(dir, jpeg);
      ASSERT_EQ(decoded->Width(), reference.width);
      ASSERT_EQ(decoded->Height(), reference.height);
      EXPECT_EQ(PixelsOf(*decoded.get()), reference.pixels);
    }
  }
}

TEST(JpegDecoder, CmykComesOutAsColour) {
  ASSERT_TRUE(HaveProgram("convert"));
  ScratchDir dir;
  const std::string jpeg = dir / "cmyk.jpg";
  ASSERT_EQ(RunShell("convert -size 8x8 xc:'rgb(255,0,0)' -colorspace CMYK -quality 100 " +
                     ShellQuote(jpeg)),
            0);
  HBITMAP decoded = DecodeJpeg(ReadBytes(jpeg));
  ASSERT_TRUE(decoded);
  for (const Bgr& p : PixelsOf(*decoded.get())) {
    EXPECT_LE(p[0], 8);
    EXPECT_LE(p[1], 8);
    EXPECT_GE(p[2], 247);
  }
}

TEST(JpegDecoder, DamagedFilesFailWithTheDecodersNumberOrDecode) {
  ASSERT_TRUE(HaveProgram("convert"));
  ScratchDir dir;
  const std::string jpeg = dir / "picture.jpg";
  ASSERT_EQ(RunShell("convert -seed 3 -size 40x30 plasma:fractal -quality 80 " + ShellQuote(jpeg)),
            0);
  const auto bytes = ReadBytes(jpeg);
  std::mt19937 random(5);
  auto check = [](const std::vector<std::uint8_t>& data) {
    try {
      HBITMAP h = DecodeJpeg(data);
      EXPECT_TRUE(h);
    } catch (const EJPEG& e) {
      EXPECT_EQ(e.Message().rfind("JPEG エラー #", 0), 0u) << e.Message();
    } catch (const EOutOfResources& e) {  // a changed frame header may announce any size
      EXPECT_EQ(e.Message(), msg::kImageTooLarge);
    }
  };
  for (std::size_t size = 0; size < bytes.size(); size += 7)
    check(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + size));
  for (int round = 0; round < 400; ++round) {
    auto mutated = bytes;
    for (int i = 0; i < 3; ++i)
      mutated[random() % mutated.size()] = static_cast<std::uint8_t>(random());
    check(mutated);
  }
}

// An EXIF block: its header, a big-endian TIFF header and a first directory of one entry (tag,
// type, count, value).
std::vector<std::uint8_t> Exif(std::uint16_t tag, std::uint8_t type, std::uint8_t value) {
  return {
      'E',          'x', 'i',  'f', 0, 0, 'M', 'M', 0,     42, 0, 0, 0, 8, 0, 1, uint8_t(tag >> 8),
      uint8_t(tag), 0,   type, 0,   0, 0, 1,   0,   value, 0,  0, 0, 0, 0, 0};
}

// A JPEG with an orientation tag opens turned as the tag says (ImageMagick turns djpeg's
// pixels the same way); without one, or with a broken block, it opens as djpeg decodes it (as
// does a file without any block: PixelsAreIdenticalToTheReferenceDecoder).
TEST(JpegDecoder, TheExifOrientationTurnsThePicture) {
  ASSERT_TRUE(HaveProgram("convert") && HaveProgram("djpeg"));
  const char* const turns[] = {"",           "-flop",      "-rotate 180", "-flip",
                               "-transpose", "-rotate 90", "-transverse", "-rotate 270"};
  auto cut = Exif(0x112, 3, 6);
  cut.resize(22);
  std::vector<std::tuple<std::string, std::vector<std::uint8_t>, const char*>> cases = {
      {"6, little-endian",
       {'E',  'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0,
        0x12, 1,   3,   0,   1, 0, 0,   0,   6,  0, 0, 0, 0, 0, 0, 0},
       "-rotate 90"},
      {"no orientation tag", Exif(0x100, 3, 6), ""},
      {"orientation 9", Exif(0x112, 3, 9), ""},
      {"directory cut", cut, ""},
      {"no byte order", {'E', 'x', 'i', 'f', 0, 0, 'X', 'X', 0, 42, 0, 0, 0, 8, 0, 1, 1, 0x12}, ""},
  };
  for (std::uint8_t tag = 1; tag <= 8; ++tag)
    cases.emplace_back(std::to_string(tag), Exif(0x112, 3, tag), turns[tag - 1]);
  ScratchDir dir;
  const auto plain = MakeJpeg(24, 16, Sampling::k420, {.progressive = false});
  const std::string jpeg = dir / "photo.jpg", ppm = dir / "turned.ppm";
  for (const auto& [name, exif, turn] : cases) {
    SCOPED_TRACE(name);
    auto file = plain;  // the block after the start marker
    const std::vector<std::uint8_t> marker = {0xFF, 0xE1, 0, uint8_t(exif.size() + 2)};
    file.insert(file.begin() + 2, exif.begin(), exif.end());
    file.insert(file.begin() + 2, marker.begin(), marker.end());
    WriteBytes(jpeg, file);
    ASSERT_EQ(
        RunShell("djpeg -ppm " + ShellQuote(jpeg) + " | convert - " + turn + " " + ShellQuote(ppm)),
        0);
    const Rgb24Image expected = ReadPnm(ppm);
    TBitmap picture;
    LoadPictureFile(picture, jpeg);
    EXPECT_TRUE(picture.Width() == expected.width &&
                PixelsOf(*picture.Object()) == expected.pixels);
  }
}
