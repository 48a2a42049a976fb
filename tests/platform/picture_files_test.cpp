#include "platform/picture_files.h"

#include <gtest/gtest.h>
#include <jerror.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>

#include "platform/bmp.h"
#include "platform/errors.h"
#include "platform/files.h"
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
  EXPECT_EQ(PictureDialogFilter(),
            "すべてのファイル "
            "(*.jpg;*.jpeg;*.bmp;*.ico;*.emf;*.wmf)|*.jpg;*.jpeg;*.bmp;*.ico;*.emf;*.wmf|"
            "JPEG イメージファイル (*.jpg)|*.jpg|JPEG イメージファイル (*.jpeg)|*.jpeg|"
            "ビットマップ (*.bmp)|*.bmp|アイコン (*.ico)|*.ico|"
            "エンハンス メタファイル (*.emf)|*.emf|メタファイル (*.wmf)|*.wmf");
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
      {"a-", "a-"},
      {"a/", "a/."},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(DisplayText(c.message), c.shown) << c.message;
}

TEST(OpenPicture, TheNameDecidesTheDecoder) {
  ScratchDir dir;
  const auto bmp = SmallBitmapFile();
  const auto jpg = SmallJpegFile(dir);
  const std::string invalidBitmap = msg::kInvalidBitmap;
  const std::string notJpeg = FormatMessage(msg::kJpegError, JERR_NO_SOI);
  const struct {
    const char* name;
    const std::vector<std::uint8_t>& content;
    std::string error;  // "" when the file opens
  } cases[] = {
      {"photo.jpg", jpg, ""},
      {"photo.JPG", jpg, invalidBitmap},
      {"photo.jpeg", jpg, invalidBitmap},
      {"picture.jpg", bmp, notJpeg},
      {"picture.bmp", bmp, ""},
      {"picture.dat", bmp, ""},
      {"picture", bmp, ""},
      {"icon.ico", jpg, invalidBitmap},
  };
  for (const auto& c : cases) {
    WriteBytes(dir / c.name, c.content);
    TBitmap picture;
    EXPECT_EQ(OpenOver(dir / c.name, picture), c.error) << c.name;
    if (c.error.empty()) {
      EXPECT_EQ(picture.Format(), PixelFormat::pf24bit) << c.name;
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
}

TEST(OpenPicture, MissingFileNamesTheFile) {
  ScratchDir dir;
  TBitmap picture;
  const std::string path = dir / "nothing here.bmp";
  EXPECT_EQ(OpenOver(path, picture), "ファイル " + path + " は開けません");
  EXPECT_EQ(OpenOver(dir.path().string(), picture),
            "ファイル " + dir.path().string() + " は開けません");
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

TEST(SavePicture, CannotCreate) {
  ScratchDir dir;
  TBitmap picture;
  picture.AdoptHandle(MakeFlatPicture(5, 3, {9, 8, 7}));
  const std::string path = dir / "missing folder/out.bmp";
  try {
    SaveBitmapFile(picture, path);
    FAIL() << "saved into a missing folder";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(), "ファイル " + path + " を作成できません");
  }
}

// A disk that fills up mid-write: the file size limit makes the write fail part way.
TEST(SavePicture, FailedWriteLeavesTheOldFileAndNoPartialFile) {
  ScratchDir dir;
  const std::vector<std::uint8_t> old = {'o', 'l', 'd', ' ', 'f', 'i', 'l', 'e'};
  WriteBytes(dir / "keep.bmp", old);
  TBitmap picture;
  picture.AdoptHandle(MakeFlatPicture(300, 300, {1, 2, 3}));

  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = 64 * 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  std::string message;
  try {
    SaveBitmapFile(picture, dir / "keep.bmp");
  } catch (const EWriteError& e) {
    message = e.Message();
  }
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(message, msg::kStreamWrite);
  EXPECT_EQ(ReadBytes(dir / "keep.bmp"), old);
  int files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path()))
    ++files;
  EXPECT_EQ(files, 1) << "a temporary file was left behind";
}
