#include "platform/jpeg.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/errors.h"
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

}  // namespace

TEST(JpegDecoder, PixelsAreIdenticalToTheReferenceDecoder) {
  ASSERT_TRUE(HaveProgram("convert") && HaveProgram("djpeg"))
      << "ImageMagick and libjpeg-turbo-progs are needed (scripts/setup installs them)";
  ScratchDir dir;
  for (const auto& [w, h] :
       {std::pair{37, 23}, std::pair{1, 1}, std::pair{16, 9}, std::pair{301, 7}}) {
    const std::string source = dir / "source.png";
    ASSERT_EQ(RunShell("convert -size " + std::to_string(w) + "x" + std::to_string(h) +
                       " plasma:fractal -seed 7 " + ShellQuote(source)),
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
  ASSERT_EQ(RunShell("convert -size 40x30 plasma:fractal -seed 3 -quality 80 " + ShellQuote(jpeg)),
            0);
  const auto bytes = ReadBytes(jpeg);
  std::mt19937 random(5);
  auto check = [](const std::vector<std::uint8_t>& data) {
    try {
      HBITMAP h = DecodeJpeg(data);
      EXPECT_TRUE(h);
    } catch (const EJPEG& e) {
      EXPECT_EQ(e.Message().rfind("JPEG エラー #", 0), 0u) << e.Message();
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
