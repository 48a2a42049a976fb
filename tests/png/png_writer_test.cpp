#include "png/png_writer.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>

#include "platform/bmp.h"
#include "platform/errors.h"
#include "platform/picture_files.h"
#include "platform/png_reader.h"
#include "png_decoders.h"

namespace {

// A paletted picture whose pixel x, y uses index (x + 2y) mod 256 of a table of distinct
// colours.
HBITMAP PalettedPicture(int width, int height) {
  auto object =
      std::make_unique<BitmapObject>(width, height, PixelFormat::pf8bit, BitmapObject::Fill::kNone);
  for (int i = 0; i < 256; ++i)
    object->Palette()[i] = RgbQuad{std::uint8_t(i), std::uint8_t(255 - i), std::uint8_t(i * 3), 0};
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) object->Row(y)[x] = std::uint8_t(x + 2 * y);
  return HBITMAP(std::move(object));
}

// The CRC of a chunk: over its type and its data.
std::uint32_t ChunkCrc(const std::string& type, const std::vector<std::uint8_t>& data) {
  return ZlibCrc(data.data(), data.size(), ZlibCrc(type.data(), 4));
}

// Everything a PNG of picture must satisfy, checked against independent readers.
void CheckPngFile(const std::vector<std::uint8_t>& file, const BitmapObject& picture) {
  const int w = picture.Width();
  const int h = picture.Height();
  const std::uint8_t signature[] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  ASSERT_GE(file.size(), 57u);
  EXPECT_TRUE(std::equal(signature, signature + 8, file.begin()));

  const auto chunks = SplitChunks(file);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[0].type, "IHDR");
  EXPECT_EQ(chunks[1].type, "IDAT");
  EXPECT_EQ(chunks[2].type, "IEND");
  for (const Chunk& chunk : chunks)
    EXPECT_EQ(chunk.storedCrc, ChunkCrc(chunk.type, chunk.data)) << chunk.type;

  const std::vector<std::uint8_t> ihdr = {std::uint8_t(w >> 24),
                                          std::uint8_t(w >> 16),
                                          std::uint8_t(w >> 8),
                                          std::uint8_t(w),
                                          std::uint8_t(h >> 24),
                                          std::uint8_t(h >> 16),
                                          std::uint8_t(h >> 8),
                                          std::uint8_t(h),
                                          8,
                                          2,
                                          0,
                                          0,
                                          0};
  EXPECT_EQ(chunks[0].data, ihdr);
  EXPECT_TRUE(chunks[2].data.empty());
  EXPECT_EQ(file.size(), 57 + chunks[1].data.size());
  const std::uint8_t end[] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
  EXPECT_TRUE(std::equal(end, end + 12, file.end() - 12));

  const auto& payload = chunks[1].data;
  ASSERT_GE(payload.size(), 6u);
  EXPECT_EQ(payload[0], 0x78);
  EXPECT_EQ(payload[1], 0x9C);
  const auto scanlines = Inflate(payload.data(), payload.size());
  ASSERT_TRUE(scanlines) << "the payload does not inflate";
  const std::size_t rowBytes = 1 + 3 * static_cast<std::size_t>(w);
  ASSERT_EQ(scanlines->size(), static_cast<std::size_t>(h) * rowBytes);
  for (std::size_t i = 0; i < scanlines->size(); i += rowBytes) EXPECT_EQ((*scanlines)[i], 0) << i;
  EXPECT_EQ(*scanlines, ExpectedScanlines(picture));
  const auto adler = static_cast<std::uint32_t>(
      adler32(adler32(0, nullptr, 0), scanlines->data(), static_cast<uInt>(scanlines->size())));
  EXPECT_EQ(ReadBigEndian32(&payload[payload.size() - 4]), adler);

  const auto decoded = DecodeWithLibpng(file);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width, w);
  EXPECT_EQ(decoded->height, h);
  EXPECT_EQ(decoded->pixels, PixelsOf(picture));
}

std::vector<std::string> FilesIn(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

struct Size {
  int width, height;
};

class PngSizes : public ::testing::TestWithParam<Size> {};

TEST_P(PngSizes, DecodersReadBackTheExactPixels) {
  const auto [width, height] = GetParam();
  TBitmap picture;
  picture.AdoptHandle(NoisePicture(width, height, unsigned(width * 1000 + height)));
  ScratchDir dir;
  const std::string path = dir / "out.png";
  SavePngFile(picture, path);
  const auto file = ReadBytes(path);
  CheckPngFile(file, *picture.Object());
  std::string report;
  EXPECT_TRUE(PngcheckAccepts(path, &report)) << report;
  EXPECT_EQ(file, EncodePng(picture));  // the saved file is exactly the encoded one
  EXPECT_TRUE(PixelsOf(*DecodePng(file).get()) == PixelsOf(*picture.Object()));  // reopens
}

INSTANTIATE_TEST_SUITE_P(Sizes, PngSizes,
                         ::testing::Values(Size{1, 1}, Size{2, 1}, Size{3, 2}, Size{5, 3},
                                           Size{7, 4}, Size{13, 1}, Size{1, 17}, Size{640, 480},
                                           Size{90001, 2}, Size{301, 257}),
                         [](const auto& info) {
                           return std::to_string(info.param.width) + "x" +
                                  std::to_string(info.param.height);
                         });

TEST(PngWriter, LargePayloadStaysOneIdatChunk) {
  TBitmap picture;
  picture.AdoptHandle(NoisePicture(301, 257, 1));
  const auto file = EncodePng(picture);
  const auto chunks = SplitChunks(file);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_GT(chunks[1].data.size(), 3 * kZlibBufferSize);
}

TEST(PngWriter, FeedsRedGreenBlueAfterAFilterByteWithoutRowPadding) {
  struct Case {
    int width, height;
    Bgr colour;
    std::vector<std::uint8_t> scanlines;
  };
  const Case cases[] = {
      {1, 1, Bgr{0, 0, 255}, {0, 255, 0, 0}},  // pure red
      {1, 1, Bgr{1, 2, 3}, {0, 3, 2, 1}},
      {3, 2, Bgr{10, 20, 30}, {0, 30, 20, 10, 30, 20, 10, 30, 20, 10,
                               0, 30, 20, 10, 30, 20, 10, 30, 20, 10}},
  };
  for (const Case& c : cases) {
    TBitmap picture;
    picture.AdoptHandle(MakeFlatPicture(c.width, c.height, c.colour));
    // Garbage in the padding must not reach the file.
    for (int y = 0; y < c.height; ++y)
      for (std::size_t i = 3 * c.width; i < picture.Object()->Stride(); ++i)
        picture.RowAt(y)[i] = 0xEE;
    TMemoryStream payload;
    WriteImageData(payload, picture);
    const auto scanlines = Inflate(payload.Data().data(), payload.Size());
    ASSERT_TRUE(scanlines);
    EXPECT_EQ(*scanlines, c.scanlines) << c.width << "x" << c.height;
  }
}

TEST(PngWriter, A640By480PictureHasTheseIhdrBytes) {
  TBitmap picture;
  picture.AdoptHandle(MakeFlatPicture(640, 480, {0, 0, 0}));
  const auto file = EncodePng(picture);
  const std::uint8_t expected[] = {0x00, 0x00, 0x00, 0x0D, 'I',  'H',  'D',  'R',  0x00, 0x00, 0x02,
                                   0x80, 0x00, 0x00, 0x01, 0xE0, 0x08, 0x02, 0x00, 0x00, 0x00};
  ASSERT_GE(file.size(), 8 + sizeof expected);
  EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), file.begin() + 8));
}

TEST(PngWriter, APalettedPictureIsConvertedInPlaceAndKeepsItsColours) {
  for (auto make : {+[] { return PalettedPicture(33, 9); },
                    +[] {
                      auto object = std::make_unique<BitmapObject>(19, 5, PixelFormat::pf1bit);
                      object->Row(2)[0] = 0x5A;
                      return HBITMAP(std::move(object));
                    }}) {
    TBitmap picture;
    picture.AdoptHandle(make());
    const auto colours = PixelsOf(*picture.Object());
    int changes = 0;
    picture.SetOnChange([&] { ++changes; });
    ScratchDir dir;
    SavePngFile(picture, dir / "p.png");
    EXPECT_EQ(picture.Format(), PixelFormat::pf24bit);
    EXPECT_GE(changes, 1);  // the view hears of the conversion
    EXPECT_EQ(PixelsOf(*picture.Object()), colours);
    const auto decoded = DecodeWithLibpng(ReadBytes(dir / "p.png"));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->pixels, colours);
  }
}

// All report an empty picture the same way (the image data alone as well: an empty bitmap has no
// rows to batch), and the save writes nothing.
TEST(PngWriter, AnEmptyPictureIsAnInvalidBitmapAndWritesNothing) {
  ScratchDir dir;
  TBitmap picture;
  TMemoryStream payload;
  const std::function<void()> calls[] = {[&] { SavePngFile(picture, dir / "empty.png"); },
                                         [&] { EncodePng(picture); },
                                         [&] { WriteImageData(payload, picture); }};
  for (const auto& call : calls) {
    try {
      call();
      ADD_FAILURE() << "an empty picture was encoded";
    } catch (const EInvalidGraphic& e) {
      EXPECT_EQ(e.Message(), msg::kInvalidBitmap);
    }
  }
  EXPECT_EQ(payload.Size(), 0u);
  EXPECT_TRUE(FilesIn(dir.path()).empty());
}

TEST(PngWriter, ChunkLengthsBeyondTheLimitAreRefused) {
  EXPECT_EQ(ChunkLength(0), 0u);
  EXPECT_EQ(ChunkLength(0x7FFFFFFF), 0x7FFFFFFFu);
  for (std::size_t length :
       {std::size_t{0x80000000}, std::size_t{0xFFFFFFFF}, std::size_t{0x100000000}}) {
    try {
      ChunkLength(length);
      ADD_FAILURE() << "accepted " << length;
    } catch (const EInvalidGraphic& error) {
      EXPECT_STREQ(error.what(), msg::kPngDataTooLarge);
    }
  }
}

TEST(PngWriter, AppendChunkFramesDataWithLengthTypeAndCrc) {
  TMemoryStream file;
  const std::vector<std::uint8_t> data = {1, 2, 3};
  AppendChunk(file, ChunkTypeIDAT, data);
  AppendChunk(file, ChunkTypeIEND, {});
  const std::vector<std::uint8_t> bytes(file.Data().begin(), file.Data().end());
  std::vector<std::uint8_t> framed(8 + bytes.size());  // behind a stand-in signature
  std::copy(bytes.begin(), bytes.end(), framed.begin() + 8);
  const auto chunks = SplitChunks(framed);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(bytes.size(), 12u + 3u + 12u);
  EXPECT_EQ(ReadBigEndian32(bytes.data()), 3u);
  EXPECT_EQ(chunks[0].data, data);
  EXPECT_EQ(chunks[0].storedCrc, ChunkCrc("IDAT", data));
  EXPECT_EQ(chunks[1].storedCrc, 0xAE426082u);
}

TEST(PngWriter, AWriteThatCannotCreateTheFileLeavesNothingBehind) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.path() / "folder");
  TBitmap picture;
  picture.AdoptHandle(NoisePicture(20, 10, 7));
  for (const std::string& path : {dir / "folder", dir / "missing/out.png"}) {
    try {
      SavePngFile(picture, path);
      ADD_FAILURE() << "no error for " << path;
    } catch (const EFCreateError& error) {
      EXPECT_EQ(std::string(error.what()), "ファイル " + path + " を作成できません");
    }
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "folder"));
  EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "folder"));
  EXPECT_EQ(FilesIn(dir.path()), std::vector<std::string>{"folder"});
}

// The disk fills up half-way (a file size limit in a child process): the old file keeps its
// content and no partial file is left.
TEST(PngWriter, AFailedWriteLeavesTheOldFileUntouched) {
  ScratchDir dir;
  const std::string path = dir / "old.png";
  const std::vector<std::uint8_t> old(100, 0x42);
  WriteBytes(path, old);
  TBitmap picture;
  picture.AdoptHandle(NoisePicture(200, 100, 8));  // about 60 KB of PNG

  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{16384, 16384};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    int code = 1;
    try {
      SavePngFile(picture, path);
    } catch (const EWriteError& error) {
      code = std::string(error.what()) == "ストリームへの書き込みエラー" ? 0 : 2;
    } catch (...) {
      code = 3;
    }
    ::_exit(code);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: no error, 2: wrong message, 3: wrong kind";
  EXPECT_EQ(ReadBytes(path), old);
  EXPECT_EQ(FilesIn(dir.path()), std::vector<std::string>{"old.png"});
}

TEST(PngWriter, ACompressorFailureCreatesNoFile) {
  static int ends = 0;
  const DeflateApi failing{&deflateInit_, [](z_streamp, int) { return Z_STREAM_ERROR; },
                           [](z_streamp s) {
                             ++ends;
                             return deflateEnd(s);
                           }};
  ScratchDir dir;
  const std::string path = dir / "old.png";
  WriteBytes(path, {1, 2, 3});
  TBitmap picture;
  picture.AdoptHandle(NoisePicture(20, 10, 9));
  EXPECT_THROW(SavePngFile(picture, path, failing), ECompressionError);
  EXPECT_EQ(ends, 1);
  EXPECT_EQ(ReadBytes(path), (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(FilesIn(dir.path()), std::vector<std::string>{"old.png"});
}

TEST(LumivaneBatch, WritesPngForAPngOutputName) {
  const std::string batch = BatchToolPath();
  ScratchDir dir;
  struct Case {
    const char* name;
    HBITMAP (*make)();
  };
  const Case cases[] = {
      {"rgb", [] { return NoisePicture(45, 31, 10); }},
      {"paletted", [] { return PalettedPicture(17, 6); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TBitmap picture;
    picture.AdoptHandle(c.make());
    const std::string in = dir / (std::string(c.name) + ".bmp");
    const std::string out = dir / (std::string(c.name) + ".png");
    SaveBitmapFile(picture, in);
    ASSERT_EQ(RunShell(ShellQuote(batch) + " " + ShellQuote(in) + " " + ShellQuote(out)), 0);
    std::string report;
    EXPECT_TRUE(PngcheckAccepts(out, &report)) << report;
    const auto decoded = DecodeWithLibpng(ReadBytes(out));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->pixels, PixelsOf(*picture.Object()));
    // The PNG read back by the tool, from a pipe, in a bitmap file.
    ASSERT_EQ(RunShell("cat " + ShellQuote(out) + " | " + ShellQuote(batch) + " /dev/stdin " +
                       ShellQuote(in)),
              0);
    EXPECT_EQ(PixelsOf(*DecodeBitmapFile(ReadBytes(in)).get()), decoded->pixels);
  }
  // An empty picture has no PNG form: the tool fails and writes nothing.
  WriteBytes(dir / "empty.bmp", {});
  EXPECT_NE(RunShell(ShellQuote(batch) + " " + ShellQuote(dir / "empty.bmp") + " " +
                     ShellQuote(dir / "empty.png") + " 2>/dev/null"),
            0);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "empty.png"));
}

}  // namespace
