#include "platform/picture_files.h"

#include <gtest/gtest.h>
#include <jerror.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string_view>

#include "platform/bmp.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/jpeg.h"
#include "platform/png_reader.h"
#include "support/dib_builder.h"
#include "support/test_support.h"

namespace {

std::vector<std::uint8_t> SmallBitmapFile() {
  TBitmap picture;
  picture.AdoptHandle(MakePicture(3, 2, [](int x, int y) {
    return Bgr{uint8_t(10 * x), uint8_t(y), 7};
  }));
  return EncodeBitmapFile(*picture.Object());
}

std::vector<std::uint8_t> SmallJpegFile(const ScratchDir& dir) {
  const std::string path = dir / "made.jpg";
  EXPECT_EQ(RunShell("convert -size 16x8 gradient:red-blue " + ShellQuote(path)), 0);
  return ReadBytes(path);
}

// Opens path into a picture that already shows a 2x2 image, and returns the error message, or
// "" when the open succeeded. A failed open must leave the old image in place.
std::string OpenOver(const std::string& path, TBitmap& picture) {
  picture.AdoptHandle(MakeFlatPicture(2, 2, {1, 2, 3}));
  try {
    LoadPictureFile(picture, path);
    return "";
  } catch (const Exception& e) {
    EXPECT_EQ(picture.Width(), 2) << path;
    EXPECT_EQ(picture.Height(), 2) << path;
    return e.Message();
  }
}

}  // namespace

TEST(FileNames, ExtensionIsFromTheLastDotAfterTheLastSlash) {
  const struct {
    const char* name;
    const char* ext;
  } cases[] = {
      {"photo.jpg", ".jpg"},   {"/tmp/photo.JPG", ".JPG"},
      {"dir.d/file", ""},      {"dir.d/file.bmp", ".bmp"},
      {"file.", "."},          {"noext", ""},
      {"写真.jpg", ".jpg"},    {"/写真.d/画像", ""},
      {"a.tar.jpeg", ".jpeg"}, {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ExtractFileExt(c.name), c.ext) << c.name;
}

TEST(FileNames, OnlyAnExactLowerCaseJpgMeansJpeg) {
  EXPECT_TRUE(IsJpegName("a.jpg"));
  EXPECT_TRUE(IsJpegName("/x/写真.jpg"));
  for (const char* name : {"a.JPG", "a.Jpg", "a.jpeg", "a.jpg.bmp", "jpg", "a.jpg/b"})
    EXPECT_FALSE(IsJpegName(name)) << name;
}

TEST(FileNames, DialogFilterListsTheRegisteredFormatsNewestFirst) {
  const std::string saved = PictureDialogFilter(PictureDialog::kSave);
  EXPECT_EQ(saved,
            "すべてのファイル "
            "(*.jpg;*.jpeg;*.bmp;*.ico;*.emf;*.wmf)|*.jpg;*.jpeg;*.bmp;*.ico;*.emf;*.wmf|"
            "JPEG イメージファイル (*.jpg)|*.jpg|JPEG イメージファイル (*.jpeg)|*.jpeg|"
            "ビットマップ (*.bmp)|*.bmp|アイコン (*.ico)|*.ico|"
            "エンハンス メタファイル (*.emf)|*.emf|メタファイル (*.wmf)|*.wmf");
  const std::string all = "*.png;*.jpg;*.jpeg;*.bmp;*.ico;*.emf;*.wmf";  // the open dialog's
  EXPECT_EQ(PictureDialogFilter(PictureDialog::kOpen), "すべてのファイル (" + all + ")|" + all +
                                                           "|PNG イメージファイル (*.png)|*.png|" +
                                                           saved.substr(saved.find("|JPEG") + 1));
}

TEST(Messages, FullStopIsAppendedAfterCharactersThatSortAboveIt) {
  const struct {
    const char* message;
    const char* shown;
  } cases[] = {
      {"ファイル a は開けません", "ファイル a は開けません."},
      {"error", "error."},
      {"TWAIN: ", "TWAIN: "},
      {"done.", "done."},
      {"原稿がありません。", "原稿がありません。"},
      {"a-", "a-"},
      {"a/", "a/."},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(DisplayText(c.message), c.shown) << c.message;
}

// An interlaced 16-bit PNG with alpha from ImageMagick, 30 x 20 unless its header is given
// another size (with the header's CRC made right again).
std::vector<std::uint8_t> MadePng(std::uint32_t width = 30, std::uint32_t height = 20) {
  ScratchDir dir;
  EXPECT_EQ(RunShell("convert -seed 2 -size 30x20 plasma:fractal -interlace PNG PNG64:" +
                     ShellQuote(dir / "made.png")),
            0);
  auto file = ReadBytes(dir / "made.png");
  const auto put = [&](std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) file[at + i] = uint8_t(v >> (24 - 8 * i));
  };
  put(16, width);
  put(20, height);
  put(29, ZlibCrc(&file[12], 17));
  return file;
}

// The message a reader gives for bytes, or "" when it decodes them.
std::string ReaderError(HBITMAP (*reader)(std::span<const std::uint8_t>),
                        const std::vector<std::uint8_t>& bytes) {
  try {
    reader(bytes);
    return "";
  } catch (const Exception& e) {
    return e.Message();
  }
}

// The name picks the reader; a file that reader refuses at once as not of its format, and that
// begins with the other format's signature, goes to the other one. Everything else keeps the
// picked reader's message.
TEST(OpenPicture, TheNameDecidesTheDecoderAndASignatureOfTheOtherFormatCorrectsIt) {
  ScratchDir dir;
  const auto bmp = SmallBitmapFile();
  const auto jpg = SmallJpegFile(dir);
  std::vector<std::uint8_t> brokenJpg(jpg.begin(), jpg.begin() + 4);  // SOI, a marker's start
  brokenJpg.insert(brokenJpg.end(), 40, 0x5A);
  const std::vector<std::uint8_t> shortJpg(jpg.begin(), jpg.begin() + 13);
  const std::vector<std::uint8_t> jpg14(jpg.begin(), jpg.begin() + 14);
  const std::vector<std::uint8_t> text = {'n', 'o', 't', ' ', 'a', ' ', 'p', 'i', 'c', 't',
                                          'u', 'r', 'e', ' ', 'a', 't', ' ', 'a', 'l', 'l'};
  std::vector<std::uint8_t> bmOnly = text;  // "BM", then no bitmap header
  bmOnly[0] = 'B', bmOnly[1] = 'M';
  TBitmap asBitmap, asJpeg;
  asBitmap.AdoptHandle(DecodeBitmapFile(bmp));
  asJpeg.AdoptHandle(DecodeJpeg(jpg));
  const std::string jpegError = ReaderError(DecodeJpeg, brokenJpg);
  ASSERT_TRUE(jpegError.starts_with("JPEG エラー #")) << jpegError;
  const std::string notJpeg = FormatMessage(msg::kJpegError, JERR_NO_SOI);
  const std::string invalidBitmap = msg::kInvalidBitmap;
  const std::string shortBitmap = msg::kStreamRead;
  const std::string shortJpegError = ReaderError(DecodeJpeg, shortJpg);
  ASSERT_FALSE(shortJpegError.empty());
  const std::string jpeg14Error = ReaderError(DecodeJpeg, jpg14);
  const std::string bmOnlyError = ReaderError(DecodeBitmapFile, bmOnly);
  ASSERT_FALSE(bmOnlyError.empty());
  const auto png = MadePng(), cutPng = std::vector(png.begin(), png.end() - 13),
             huge = MadePng(0x7FFFFFFF, 0x7FFFFFFF);
  TBitmap asPng;
  asPng.AdoptHandle(DecodePng(png));

  const struct {
    const char* content;
    const std::vector<std::uint8_t>& bytes;
    const TBitmap* opens;  // the picture it opens as, or null
    std::string jpgNameError, otherNameError;
  } contents[] = {
      {"jpeg", jpg, &asJpeg, "", ""},
      {"bitmap", bmp, &asBitmap, "", ""},
      {"broken jpeg", brokenJpg, nullptr, jpegError, jpegError},
      {"13 bytes of a jpeg", shortJpg, nullptr, shortJpegError, shortBitmap},
      {"14 bytes of a jpeg", jpg14, nullptr, jpeg14Error, jpeg14Error},
      {"text", text, nullptr, notJpeg, invalidBitmap},
      {"BM and text", bmOnly, nullptr, bmOnlyError, bmOnlyError},
      {"png", png, &asPng, "", ""},
      {"cut png", cutPng, nullptr, msg::kPngTruncated, msg::kPngTruncated},
      {"huge png", huge, nullptr, msg::kImageTooLarge, msg::kImageTooLarge},
  };
  const char* const names[] = {"photo.jpg",   "IMG_0001.JPG", "photo.jpeg",   "photo.Jpg",
                               "picture.bmp", "picture.dat",  "picture",      "icon.ico",
                               "写真.JPG",    "a.jpg.bmp",    "photo.jpg.d/x"};
  std::filesystem::create_directory(dir / "photo.jpg.d");
  for (const auto& c : contents) {
    for (const char* name : names) {
      WriteBytes(dir / name, c.bytes);
      TBitmap picture;
      const std::string error = OpenOver(dir / name, picture);
      const std::string& expected = IsJpegName(name) ? c.jpgNameError : c.otherNameError;
      EXPECT_EQ(error, c.opens ? "" : expected) << name << " holding " << c.content;
      if (c.opens && error.empty()) {
        EXPECT_EQ(picture.Format(), c.opens->Format()) << name << " holding " << c.content;
        EXPECT_TRUE(PixelsOf(*picture.Object()) == PixelsOf(*c.opens->Object()))
            << name << " holding " << c.content;
      }
    }
  }
}

TEST(OpenPicture, ShortAndEmptyFiles) {
  ScratchDir dir;
  const auto bmp = SmallBitmapFile();
  for (std::size_t size = 1; size <= 13; ++size) {
    WriteBytes(dir / "short.bmp", std::vector<std::uint8_t>(bmp.begin(), bmp.begin() + size));
    TBitmap picture;
    EXPECT_EQ(OpenOver(dir / "short.bmp", picture), msg::kStreamRead) << size;
  }
  WriteBytes(dir / "empty.bmp", {});
  TBitmap picture;
  picture.AdoptHandle(MakeFlatPicture(2, 2, {1, 2, 3}));
  LoadPictureFile(picture, dir / "empty.bmp");
  EXPECT_TRUE(picture.Empty());
  SaveBitmapFile(picture, dir / "saved.bmp");
  EXPECT_EQ(std::filesystem::file_size(dir / "saved.bmp"), 0u);

  WriteBytes(dir / "empty.jpg", {});
  EXPECT_EQ(OpenOver(dir / "empty.jpg", picture), FormatMessage(msg::kJpegError, JERR_INPUT_EMPTY));

  // A file that reports size 0 but cannot be read is not an empty picture.
  EXPECT_EQ(OpenOver("/proc/self/mem", picture), msg::kStreamRead);
  EXPECT_FALSE(picture.Empty());
}

TEST(OpenPicture, MissingFileNamesTheFile) {
  ScratchDir dir;
  TBitmap picture;
  const std::string path = dir / "nothing here.bmp";
  EXPECT_EQ(OpenOver(path, picture), "ファイル " + path + " は開けません");
  EXPECT_EQ(OpenOver(dir.path().string(), picture),
            "ファイル " + dir.path().string() + " は開けません");
}

// Pictures of several megabytes travel between file and pixel store in many reads and writes:
// top-down rows in long runs, bottom-up rows a run of rows at a time, each into its place, 2-bit
// rows through a buffer. Every pixel is checked against the file built here byte by byte, and
// a bottom-up file saved again is the same file.
TEST(OpenPicture, LargePicturesAreReadAndWrittenPieceByPiece) {
  const struct {
    const char* name;
    int width, height, bits;
    bool topDown;
    bool lastPaddingCut;  // the file ends right after the last row's pixels
  } cases[] = {
      {"24-bit bottom-up", 999, 700, 24, false, false},
      {"24-bit top-down", 999, 700, 24, true, false},
      {"24-bit, last row unpadded", 999, 700, 24, false, true},
      {"8-bit, more rows than one read takes", 301, 4000, 8, false, false},
      {"2-bit, several buffers, last row unpadded", 2001, 2500, 2, false, true},
      {"24-bit, rows longer than a read or a write", 400001, 3, 24, false, false},
  };
  ScratchDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto colour = [&](int x, int y) -> Bgr {
      if (c.bits == 24) return {uint8_t(x * 7), uint8_t(y * 3), uint8_t(x ^ y)};
      const int index = (x + 3 * y) % (1 << c.bits);
      return {uint8_t(index), uint8_t(255 - index), uint8_t(index / 2)};
    };
    DibBuilder dib;
    const int colours = c.bits <= 8 ? 1 << c.bits : 0;
    dib.InfoHeader(c.width, c.topDown ? -c.height : c.height, c.bits, 0, colours);
    for (int i = 0; i < colours; ++i) dib.Bytes({uint8_t(i), uint8_t(255 - i), uint8_t(i / 2), 0});
    const std::size_t stride = (static_cast<std::size_t>(c.width) * c.bits + 31) / 32 * 4;
    const std::size_t tableEnd = dib.bytes.size();
    for (int r = 0; r < c.height; ++r) {
      const int y = c.topDown ? r : c.height - 1 - r;
      std::vector<std::uint8_t> row(stride, 0);
      for (int x = 0; x < c.width; ++x) {
        if (c.bits == 24) {
          const Bgr p = colour(x, y);
          std::copy(p.begin(), p.end(), row.begin() + 3 * x);
        } else {
          const int bit = x * c.bits;
          row[bit / 8] |=
              static_cast<std::uint8_t>(((x + 3 * y) % colours) << (8 - c.bits - bit % 8));
        }
      }
      dib.bytes.insert(dib.bytes.end(), row.begin(), row.end());
    }
    PutU32(dib.bytes, 20, static_cast<std::uint32_t>(stride * c.height));  // the image size
    auto file = BitmapFile(dib.bytes, static_cast<std::uint32_t>(tableEnd));
    if (c.lastPaddingCut) file.resize(file.size() - (stride - (c.width * c.bits + 7) / 8));
    ASSERT_GT(file.size(), 1u << 20);
    WriteBytes(dir / "in.bmp", file);

    TBitmap picture;
    EXPECT_EQ(OpenOver(dir / "in.bmp", picture), "");
    ASSERT_EQ(picture.Width(), c.width);
    ASSERT_EQ(picture.Height(), c.height);
    int wrong = 0;
    for (int y = 0; y < c.height; ++y)
      for (int x = 0; x < c.width; ++x)
        if (PixelColour(*picture.Object(), x, y) != colour(x, y) && ++wrong < 5)
          ADD_FAILURE() << "pixel " << x << "," << y;

    SaveBitmapFile(picture, dir / "out.bmp");
    const auto saved = ReadBytes(dir / "out.bmp");
    EXPECT_EQ(saved, EncodeBitmapFile(*picture.Object()));
    if (!c.topDown && !c.lastPaddingCut && c.bits != 2) {
      EXPECT_TRUE(saved == file) << "not the file that was read";
    }
    TBitmap back;
    back.AdoptHandle(DecodeBitmapFile(saved));
    EXPECT_TRUE(PixelsOf(*back.Object()) == PixelsOf(*picture.Object()));
  }
}

TEST(OpenPicture, BadSignature) {
  auto bmp = SmallBitmapFile();
  bmp[1] = 'X';
  EXPECT_THROW(DecodeBitmapFile(bmp), EInvalidGraphic);
}

TEST(SavePicture, ReplacesAnExistingFileWholeAndWritesAnyNameAsBitmap) {
  ScratchDir dir;
  WriteBytes(dir / "result.jpg", {'o', 'l', 'd'});
  TBitmap picture;
  picture.AdoptHandle(MakeFlatPicture(5, 3, {9, 8, 7}));
  SaveBitmapFile(picture, dir / "result.jpg");
  const auto written = ReadBytes(dir / "result.jpg");
  ASSERT_GE(written.size(), 2u);
  EXPECT_EQ(written[0], 'B');
  EXPECT_EQ(written[1], 'M');
  EXPECT_EQ(written, EncodeBitmapFile(*picture.Object()));
}

// The batch tool and the PNG save go through the same save.
TEST(SavePicture, BatchToolAndPngSaveFollowTheSameRules) {
  ScratchDir dir;
  TBitmap picture;
  picture.AdoptHandle(MakeFlatPicture(5, 3, {9, 8, 7}));
  WriteBytes(dir / "in.bmp", EncodeBitmapFile(*picture.Object()));
  WriteBytes(dir / "a.png", {'o', 'l', 'd'});
  std::filesystem::create_hard_link(dir / "a.png", dir / "b.png");
  std::filesystem::create_symlink(CharacterDevice(dir, "full", 7), dir / "full.png");
  const struct {
    std::string output;
    int status;
    std::string message;  // what the tool prints, "" when it succeeds
  } cases[] = {
      {"", 1, FormatMessage(msg::kFileCreate, "") + ".\n"},
      {dir / "full.png", 1, std::string(msg::kStreamWrite) + ".\n"},
      {dir / "a.png", 0, ""},
  };
  for (const auto& c : cases) {
    std::string output;
    const int status = RunShell(ShellQuote(BatchToolPath()) + " " + ShellQuote(dir / "in.bmp") +
                                    " " + ShellQuote(c.output) + " 2>&1",
                                &output);
    EXPECT_EQ(status, c.status) << c.output;
    EXPECT_EQ(output, c.message) << c.output;
  }
  const auto png = ReadBytes(dir / "b.png");
  ASSERT_GE(png.size(), 8u);
  EXPECT_EQ(png[1], 'P') << "the other name of the hard-linked file sees the new picture";
  EXPECT_EQ(png, ReadBytes(dir / "a.png"));
}

// A device that never ends is not taken for a picture: only its first bytes are read.
TEST(OpenPicture, AnEndlessDeviceIsNoPicture) {
  TBitmap picture;
  EXPECT_EQ(OpenOver("/dev/zero", picture), msg::kInvalidBitmap);
}

// libpng's own decoding, laid over white in 8 bits. (Its simplified reader gives wrong pixels for
// interlaced 16-bit files.)
std::vector<Bgr> LibpngOverWhite(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, file);
  png_read_png(png, info, PNG_TRANSFORM_EXPAND | PNG_TRANSFORM_SCALE_16 | PNG_TRANSFORM_GRAY_TO_RGB,
               nullptr);
  const unsigned channels = png_get_channels(png, info), width = png_get_image_width(png, info);
  std::vector<Bgr> pixels(width * png_get_image_height(png, info));
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    const png_bytep p = png_get_rows(png, info)[i / width] + i % width * channels;
    const unsigned alpha = channels == 4 ? p[3] : 255;
    for (int c = 0; c < 3; ++c)
      pixels[i][2 - c] = uint8_t((p[c] * alpha + 255 * (255 - alpha) + 127) / 255);
  }
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(file);
  return pixels;
}

// Every colour type and depth, written by two other encoders ($S the 16-bit source with alpha
// from 0 to 1 across, $O the file), opens as libpng decodes it; the header of
// each file proves its kind (depth, colour type, interlace, transparent colours).
TEST(OpenPicture, PngOfEveryKindOpensAsLibpngDecodesIt) {
  ASSERT_TRUE(HaveProgram("convert") && HaveProgram("/usr/bin/python3"));
  const std::string pil =
      "/usr/bin/python3 -c 'import sys; from PIL import Image; "
      "S, O = sys.argv[1:]; im = Image.open(S); ";
  const std::string gray = "convert $S -alpha off -colorspace Gray -define png:color-type=0 ";
  const std::string binaryAlpha = "convert $S -channel A -threshold 50% +channel ";
  const struct {
    std::string make;
    int depth, type, interlace;
    bool transparent;
  } cases[] = {
      {gray + "-depth 1 -define png:bit-depth=1 $O", 1, 0, 0, false},
      {gray + "-depth 16 $O", 16, 0, 0, false},
      {gray + "-depth 2 -define png:bit-depth=2 -interlace PNG $O", 2, 0, 1, false},
      {"convert $S -colorspace Gray -define png:color-type=4 -depth 8 $O", 8, 4, 0, false},
      {"convert $S -colorspace Gray -define png:color-type=4 -depth 16 $O", 16, 4, 0, false},
      {binaryAlpha + "-colors 60 PNG8:$O", 8, 3, 0, true},
      {"convert $S -alpha off PNG24:$O", 8, 2, 0, false},
      {"convert $S -alpha off -depth 16 PNG48:$O", 16, 2, 0, false},
      {binaryAlpha + "-alpha off -define png:color-type=2 -transparent-color black PNG:$O", 16, 2,
       0, false},
      {"convert $S PNG32:$O", 8, 6, 0, false},
      {"convert $S PNG64:$O", 16, 6, 0, false},
      {"convert $S -interlace PNG PNG32:$O", 8, 6, 1, false},
      {"convert $S -interlace PNG PNG64:$O", 16, 6, 1, false},
      {pil + "im.convert(\"1\").save(O)' $S $O", 1, 0, 0, false},
      {pil + "im.convert(\"L\").save(O, transparency=100)' $S $O", 8, 0, 0, true},
      {pil + "im.convert(\"I\").point(lambda v: v * 257).save(O)' $S $O", 16, 0, 0, false},
      {pil + "im.convert(\"RGB\").quantize(4).save(O, bits=2)' $S $O", 2, 3, 0, false},
      {pil + "im.convert(\"P\").save(O, bits=4)' $S $O", 4, 3, 0, true},
      {pil + "rgb = im.convert(\"RGB\"); rgb.save(O, transparency=rgb.getpixel((5, 5)))' $S $O", 8,
       2, 0, true},
      {pil + "im.convert(\"LA\").save(O)' $S $O", 8, 4, 0, false},
  };
  ScratchDir dir;
  ASSERT_EQ(RunShell("cd " + ShellQuote(dir.path()) +
                     " && convert -seed 7 -size 37x23 plasma:fractal "
                     "-alpha set -channel A -fx i/w +channel source.png"),
            0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.make);
    ASSERT_EQ(RunShell("cd " + ShellQuote(dir.path()) + " && S=source.png O=made.png && " + c.make),
              0);
    const auto file = ReadBytes(dir / "made.png");
    const std::string_view tRNS = "tRNS";
    const bool transparent =
        std::search(file.begin(), file.end(), tRNS.begin(), tRNS.end()) != file.end();
    EXPECT_EQ((std::array<int, 4>{file[24], file[25], file[28], transparent}),
              (std::array<int, 4>{c.depth, c.type, c.interlace, c.transparent}));
    TBitmap picture;
    ASSERT_EQ(OpenOver(dir / "made.png", picture), "");
    EXPECT_TRUE(picture.Width() == 37 &&
                PixelsOf(*picture.Object()) == LibpngOverWhite(dir / "made.png"));
  }
}

// Cut anywhere, damaged, or claiming more than the limit allows (also with libpng's rows): refused
// with their own message, before the picture's memory is taken.
TEST(OpenPicture, CutDamagedAndHugePngsAreRefused) {
  const auto decode = [](std::span<const std::uint8_t> file) { return DecodePng(file); };
  const auto good = MadePng();
  for (std::size_t size = 8; size < good.size(); size += 7)
    EXPECT_EQ(ReaderError(decode, {good.begin(), good.begin() + long(size)}), msg::kPngTruncated);
  auto badCrc = good;
  badCrc[good.size() / 2] ^= 1;
  EXPECT_EQ(ReaderError(decode, badCrc), msg::kPngInvalid);
  EXPECT_EQ(ReaderError(decode, MadePng(30, 21)), msg::kPngInvalid);  // a row beyond the data
  EXPECT_EQ(ReaderError(decode, MadePng(200'000'000, 1)), msg::kImageTooLarge);  // 16-bit rows
}
