#include "platform/picture_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <jerror.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <utility>

#include "platform/bmp.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/jpeg.h"
#include "support/dib_builder.h"
#include "support/test_support.h"

namespace {

mode_t GetUmask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

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
      {"原稿がありません。", "原稿がありません。"},
      {"a-", "a-"},
      {"a/", "a/."},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(DisplayText(c.message), c.shown) << c.message;
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
  const std::string bmOnlyError = ReaderError(DecodeBitmapFile, bmOnly);
  ASSERT_FALSE(bmOnlyError.empty());

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
      {"text", text, nullptr, notJpeg, invalidBitmap},
      {"BM and text", bmOnly, nullptr, bmOnlyError, bmOnlyError},
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

namespace {

constexpr uid_t kNobody = 65534;

// What a save left behind, seen from the test.
struct SaveTarget {
  std::string path;                     // the name saved to
  std::function<void()> check = [] {};  // the checks of the case, after the save
};

// Saves picture to the target that prepare makes, in a child process; as an unprivileged user
// when asked and the test runs as root (who may write anything), so that permissions count.
// Returns the error message, "" after success. Only checks that the save could create the
// file when checkOnly.
std::string SaveInChild(const TBitmap& picture, const std::string& path, bool unprivileged,
                        bool checkOnly = false) {
  int fds[2];
  if (::pipe(fds) != 0) return "no pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    ::umask(022);
    if (unprivileged && ::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
      ::_exit(4);
    std::string message;
    try {
      if (checkOnly)
        CheckFileCreatable(path);
      else
        SaveBitmapFile(picture, path);
    } catch (const Exception& e) {
      message = e.Message();
    }
    const bool sent =
        ::write(fds[1], message.data(), message.size()) == static_cast<ssize_t>(message.size());
    ::_exit(sent ? 0 : 3);
  }
  ::close(fds[1]);
  std::string message;
  char buffer[256];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
    message.append(buffer, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << path << ": status " << status;
  return message;
}

// Every name under dir with its inode and size.
std::vector<std::string> DirectoryListing(const ScratchDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
    struct stat st {};
    ::lstat(entry.path().c_str(), &st);
    names.push_back(entry.path().string() + " " + std::to_string(st.st_ino) + " " +
                    std::to_string(st.st_size) + " " + std::to_string(st.st_mtime));
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct stat StatOf(const std::string& path, bool followLinks = true) {
  struct stat st {};
  EXPECT_EQ(followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st), 0) << path;
  return st;
}

// A device node of our own where we may make one, else the system's: a failure then cannot
// turn the system's device into a plain file.
std::string Device(const ScratchDir& dir, const char* name, unsigned minor) {
  const std::string path = dir / name;
  if (::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, minor)) == 0) return path;
  return std::string("/dev/") + name;
}

}  // namespace

// Every kind of target a save may meet. Files that can be replaced whole are replaced through a
// new file; everything else is written in place and stays what it is.
TEST(SavePicture, EveryKindOfTarget) {
  ScratchDir dir;
  ::chmod(dir.path().c_str(), 0755);  // the unprivileged cases must reach their folders
  TBitmap picture;
  picture.AdoptHandle(MakeFlatPicture(5, 3, {9, 8, 7}));
  const auto bytes = EncodeBitmapFile(*picture.Object());
  const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
  const bool root = ::geteuid() == 0;
  const auto cannotCreate = [](const std::string& path) {
    return FormatMessage(msg::kFileCreate, path);
  };
  const std::string writeError = msg::kStreamWrite;

  const struct Case {
    const char* name;
    bool unprivileged;
    std::function<SaveTarget()> prepare;
    std::function<std::string(const std::string&)> error;  // "" when the save succeeds
  } cases[] = {
      {"new file: default permissions", false,
       [&] {
         const std::string p = dir / "new.bmp";
         return SaveTarget{p, [=] {
                             EXPECT_EQ(ReadBytes(p), bytes);
                             EXPECT_EQ(StatOf(p).st_mode & 07777, 0644u);
                           }};
       },
       [](auto&) { return std::string(); }},
      {"existing file: replaced whole, permissions kept", false,
       [&] {
         const std::string p = dir / "keep-mode.bmp";
         WriteBytes(p, old);
         ::chmod(p.c_str(), 0640);
         const ino_t before = StatOf(p).st_ino;
         return SaveTarget{p, [=] {
                             EXPECT_EQ(ReadBytes(p), bytes);
                             EXPECT_EQ(StatOf(p).st_mode & 07777, 0640u);
                             EXPECT_NE(StatOf(p).st_ino, before) << "not replaced";
                           }};
       },
       [](auto&) { return std::string(); }},
      {"writable file in a read-only folder: written in place", true,
       [&] {
         const std::string folder = dir / "read-only";
         std::filesystem::create_directory(folder);
         const std::string p = folder + "/picture.bmp";
         WriteBytes(p, old);
         ::chmod(p.c_str(), 0666);
         ::chmod(folder.c_str(), 0555);
         const ino_t before = StatOf(p).st_ino;
         return SaveTarget{p, [=] {
                             EXPECT_EQ(ReadBytes(p), bytes);
                             EXPECT_EQ(StatOf(p).st_ino, before);
                             ::chmod(folder.c_str(), 0755);
                           }};
       },
       [](auto&) { return std::string(); }},
      {"read-only file in a writable folder: not replaced behind its back", true,
       [&] {
         const std::string folder = dir / "shared";
         std::filesystem::create_directory(folder);
         ::chmod(folder.c_str(), 0777);
         const std::string p = folder + "/theirs.bmp";
         WriteBytes(p, old);
         ::chmod(p.c_str(), 0444);
         return SaveTarget{p, [=] { EXPECT_EQ(ReadBytes(p), old); }};
       },
       cannotCreate},
      {"hard-linked file: every name sees the new picture", false,
       [&] {
         const std::string p = dir / "a.bmp", other = dir / "b.bmp";
         WriteBytes(p, old);
         std::filesystem::create_hard_link(p, other);
         return SaveTarget{p, [=] {
                             EXPECT_EQ(ReadBytes(p), bytes);
                             EXPECT_EQ(ReadBytes(other), bytes);
                             EXPECT_EQ(StatOf(p).st_nlink, 2u);
                           }};
       },
       [](auto&) { return std::string(); }},
      {"symbolic link: the file it names is written", false,
       [&] {
         const std::string p = dir / "link.bmp", real = dir / "real.bmp";
         WriteBytes(real, old);
         std::filesystem::create_symlink("real.bmp", p);
         return SaveTarget{p, [=] {
                             EXPECT_TRUE(S_ISLNK(StatOf(p, false).st_mode));
                             EXPECT_EQ(ReadBytes(real), bytes);
                           }};
       },
       [](auto&) { return std::string(); }},
      {"dangling symbolic link: its target is created", false,
       [&] {
         const std::string p = dir / "dangling.bmp", real = dir / "made.bmp";
         std::filesystem::create_symlink("made.bmp", p);
         return SaveTarget{p, [=] {
                             EXPECT_TRUE(S_ISLNK(StatOf(p, false).st_mode));
                             EXPECT_EQ(ReadBytes(real), bytes);
                           }};
       },
       [](auto&) { return std::string(); }},
      {"named pipe with a reader: the bytes go through it", false,
       [&] {
         const std::string p = dir / "pipe";
         EXPECT_EQ(::mkfifo(p.c_str(), 0666), 0);
         // Opened before the save; the picture fits the pipe's buffer, so the writer never
         // waits for the reader.
         const int reader = ::open(p.c_str(), O_RDONLY | O_NONBLOCK);
         return SaveTarget{p, [=] {
                             std::vector<std::uint8_t> got(bytes.size() + 16);
                             const ssize_t n = ::read(reader, got.data(), got.size());
                             ::close(reader);
                             got.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
                             EXPECT_EQ(got, bytes);
                             EXPECT_TRUE(S_ISFIFO(StatOf(p).st_mode));
                           }};
       },
       [](auto&) { return std::string(); }},
      {"named pipe nobody reads: refused at once", false,
       [&] {
         const std::string p = dir / "lonely-pipe";
         EXPECT_EQ(::mkfifo(p.c_str(), 0666), 0);
         return SaveTarget{p, [=] { EXPECT_TRUE(S_ISFIFO(StatOf(p).st_mode)); }};
       },
       cannotCreate},
      {"null device: written, stays a device", false,
       [&] {
         const std::string p = Device(dir, "null", 3);
         return SaveTarget{p, [=] { EXPECT_TRUE(S_ISCHR(StatOf(p).st_mode)); }};
       },
       [](auto&) { return std::string(); }},
      {"full device: the write error, stays a device", false,
       [&] {
         const std::string p = Device(dir, "full", 7);
         return SaveTarget{p, [=] { EXPECT_TRUE(S_ISCHR(StatOf(p).st_mode)); }};
       },
       [&](auto&) { return writeError; }},
      {"a folder", false,
       [&] {
         return SaveTarget{dir / ".", [] {}};
       },
       cannotCreate},
      {"missing folder", false, [&] { return SaveTarget{dir / "missing folder/out.bmp"}; },
       cannotCreate},
      {"empty name", false, [&] { return SaveTarget{""}; }, cannotCreate},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SaveTarget target = c.prepare();
    // The check before long work says what the save will say about creating the file (a pipe
    // is only tried by the save: its reader may come meanwhile), and changes nothing.
    const auto before = DirectoryListing(dir);
    const std::string error = c.error(target.path);
    const bool pipe = std::string(c.name).starts_with("named pipe");
    EXPECT_EQ(SaveInChild(picture, target.path, c.unprivileged, true),
              error == cannotCreate(target.path) && !pipe ? error : "");
    EXPECT_EQ(DirectoryListing(dir), before);
    EXPECT_EQ(SaveInChild(picture, target.path, c.unprivileged), error);
    target.check();
  }
  // A file of someone else that we may write keeps its owner: it is written in place.
  if (root) {
    const std::string folder = dir / "shared";
    const std::string p = folder + "/root-owned.bmp";
    WriteBytes(p, old);
    ::chmod(p.c_str(), 0666);
    EXPECT_EQ(SaveInChild(picture, p, true), "");
    EXPECT_EQ(ReadBytes(p), bytes);
    EXPECT_EQ(StatOf(p).st_uid, 0u);
  }
  // No temporary file is left anywhere.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path()))
    EXPECT_EQ(entry.path().filename().string().find(".lv"), std::string::npos) << entry.path();
}

// The batch tool and the PNG save go through the same save.
TEST(SavePicture, BatchToolAndPngSaveFollowTheSameRules) {
  ScratchDir dir;
  TBitmap picture;
  picture.AdoptHandle(MakeFlatPicture(5, 3, {9, 8, 7}));
  WriteBytes(dir / "in.bmp", EncodeBitmapFile(*picture.Object()));
  WriteBytes(dir / "a.png", {'o', 'l', 'd'});
  std::filesystem::create_hard_link(dir / "a.png", dir / "b.png");
  std::filesystem::create_symlink(Device(dir, "full", 7), dir / "full.png");
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

// A save that fails part way: a disk that fills up (the file size limit makes a write fail),
// or a writer that gives up after its first megabytes. The old file stays as it was and no
// temporary file is left behind.
TEST(SavePicture, FailedWriteLeavesTheOldFileAndNoPartialFile) {
  TBitmap picture;
  picture.AdoptHandle(MakeFlatPicture(1000, 1000, {1, 2, 3}));  // 3 MB
  const struct {
    const char* name;
    bool diskFull;  // the process may write no more than 1.5 MiB to a file
    std::function<void(const std::string&)> save;
    std::string error;
  } cases[] = {
      {"disk full", true, [&](const std::string& path) { SaveBitmapFile(picture, path); },
       msg::kStreamWrite},
      {"writer throws", false,
       [](const std::string& path) {
         SaveFileContent(path, [](ByteSink& sink) {
           sink.Write(std::vector<std::uint8_t>(3 << 20, 'x'));
           throw std::runtime_error("given up");
         });
       },
       "given up"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::vector<std::uint8_t> old = {'o', 'l', 'd', ' ', 'f', 'i', 'l', 'e'};
    WriteBytes(dir / "keep.bmp", old);

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 3 << 19;
    if (c.diskFull) {
      ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    }
    std::string message;
    try {
      c.save(dir / "keep.bmp");
    } catch (const EWriteError& e) {
      message = e.Message();
    } catch (const std::runtime_error& e) {
      message = e.what();
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(message, c.error);
    EXPECT_EQ(ReadBytes(dir / "keep.bmp"), old);
    int files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path()))
      ++files;
    EXPECT_EQ(files, 1) << "a temporary file was left behind";
  }
}

namespace {

// The names in a folder.
std::vector<std::string> Entries(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A tmpfs and the build's own file system (ext4 here); both have files without a name.
std::vector<std::filesystem::path> SaveFileSystems() {
  std::vector<std::filesystem::path> bases = {std::filesystem::current_path()};
  if (std::filesystem::is_directory("/dev/shm")) bases.emplace_back("/dev/shm");
  return bases;
}

// Passes writes on to a sink; after the first `after` bytes, calls once first.
class WatchedSink final : public ByteSink {
 public:
  WatchedSink(ByteSink& sink, std::size_t after, std::function<void()> once)
      : sink_(sink), after_(after), once_(std::move(once)) {}
  void Write(std::span<const std::uint8_t> data) override {
    if (once_ && written_ >= after_) std::exchange(once_, nullptr)();
    sink_.Write(data);
    written_ += data.size();
  }

 private:
  ByteSink& sink_;
  std::size_t after_;
  std::function<void()> once_;
  std::size_t written_ = 0;
};

}  // namespace

// A new or lone file is replaced through a new file: one without a name where the file system
// offers it (nothing shows in the folder while it is written), a named temporary one otherwise.
// Both keep the permissions and replace whole, also under the longest names.
TEST(SavePicture, ReplacementWithAndWithoutATemporaryName) {
  TBitmap picture;
  picture.AdoptHandle(MakeFlatPicture(300, 200, {9, 8, 7}));
  const auto bytes = EncodeBitmapFile(*picture.Object());
  const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
  for (const auto& base : SaveFileSystems()) {
    for (const bool named : {false, true}) {
      SCOPED_TRACE(base.string() + (named ? ", named" : ", unnamed"));
      ScratchDir dir(base);
      UseNamedTemporaryFilesOnly(named);
      const struct {
        std::string name;
        bool exists;
      } cases[] = {{"new.bmp", false},
                   {"old.bmp", true},
                   {std::string(250, 'n') + ".bmp", true},
                   {std::string(251, 'm') + ".bmp", false}};
      for (const auto& c : cases) {
        SCOPED_TRACE(c.name.size());
        const std::string path = dir / c.name;
        ino_t before = 0;
        if (c.exists) {
          WriteBytes(path, old);
          ::chmod(path.c_str(), 0640);
          before = StatOf(path).st_ino;
        }
        const auto entriesBefore = Entries(dir.path());
        std::size_t entriesDuring = 0;
        SaveFileContent(path, [&](ByteSink& sink) {
          WatchedSink watched(sink, 0, [&] { entriesDuring = Entries(dir.path()).size(); });
          WriteBitmapFile(*picture.Object(), watched);
        });
        EXPECT_EQ(entriesDuring, entriesBefore.size() + (named ? 1 : 0));
        EXPECT_EQ(ReadBytes(path), bytes);
        EXPECT_EQ(StatOf(path).st_mode & 0777, c.exists ? 0640u : 0666u & ~GetUmask());
        if (c.exists) {
          EXPECT_NE(StatOf(path).st_ino, before) << "written in place";
        }
      }
      for (const auto& name : Entries(dir.path()))
        EXPECT_EQ(name.find(".lv"), std::string::npos) << name;
      UseNamedTemporaryFilesOnly(false);
    }
  }
}

// A save killed part way through a big picture leaves the old file as it was and nothing else.
TEST(SavePicture, AKilledSaveLeavesOnlyTheOldFile) {
  TBitmap picture;
  picture.AdoptHandle(NoisePicture(3000, 2000, 4));  // 18 MB
  const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
  for (const auto& base : SaveFileSystems()) {
    for (const bool existing : {true, false}) {
      SCOPED_TRACE(base.string() + (existing ? ", over a file" : ", new file"));
      ScratchDir dir(base);
      const std::string path = dir / "picture.bmp";
      if (existing) WriteBytes(path, old);
      int fds[2];
      ASSERT_EQ(::pipe(fds), 0);
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::close(fds[0]);
        // Half the picture written, the parent is told and the save waits to be killed.
        SaveFileContent(path, [&](ByteSink& sink) {
          WatchedSink watched(sink, 9 << 20, [&] {
            if (::write(fds[1], "k", 1) != 1) ::_exit(3);
            for (;;) ::pause();
          });
          WriteBitmapFile(*picture.Object(), watched);
        });
        ::_exit(0);
      }
      ::close(fds[1]);
      char told = 0;
      EXPECT_EQ(::read(fds[0], &told, 1), 1);
      ::close(fds[0]);
      ::kill(pid, SIGKILL);
      int status = 0;
      ::waitpid(pid, &status, 0);
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
      EXPECT_EQ(Entries(dir.path()),
                existing ? std::vector<std::string>{"picture.bmp"} : std::vector<std::string>{});
      if (existing) {
        EXPECT_EQ(ReadBytes(path), old);
      }
    }
  }
}

// Standard output as a pipe or a socket: /dev/stdout leads to a link of /proc that names no
// file ("pipe:[…]", "socket:[…]"); the bytes go through it.
TEST(SavePicture, StandardOutputAsAPipeOrASocket) {
  TBitmap picture;
  picture.AdoptHandle(MakeFlatPicture(300, 200, {9, 8, 7}));  // more than a pipe's buffer
  const auto bytes = EncodeBitmapFile(*picture.Object());
  for (const bool socket : {false, true}) {
    for (const char* name : {"/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"}) {
      SCOPED_TRACE(std::string(socket ? "socket " : "pipe ") + name);
      int fds[2];
      ASSERT_EQ(socket ? ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) : ::pipe(fds), 0);
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::close(fds[0]);
        if (::dup2(fds[1], 1) != 1) ::_exit(3);
        ::close(fds[1]);
        try {
          SaveBitmapFile(picture, name);
        } catch (const Exception&) {
          ::_exit(1);
        }
        ::_exit(0);
      }
      ::close(fds[1]);
      std::vector<std::uint8_t> got;
      std::uint8_t buffer[65536];
      for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        got.insert(got.end(), buffer, buffer + n);
      ::close(fds[0]);
      int status = 0;
      ::waitpid(pid, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      EXPECT_EQ(got, bytes);
    }
  }
}

// A stream (a pipe here) is read up to the size limit and one byte, no further, and refused
// beyond it; one that cannot begin a picture file, such as /dev/zero, only for its first bytes.
TEST(OpenPicture, StreamsAreReadUpToTheLimit) {
  constexpr std::size_t kLimit = 1 << 20;  // bytes; the pieces read are 64 KiB and up
  const struct {
    std::size_t size;
    bool endless;  // the writer goes on until the reader has gone
    bool read;
  } cases[] = {{3, false, true},
               {kLimit - 1, false, true},
               {kLimit, false, true},
               {kLimit + 1, false, false},
               {0, true, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    auto bytes = RandomBytes(c.endless ? 1 << 16 : c.size, 9);
    bytes[0] = 'B', bytes[1] = 'M';
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t writer = ::fork();
    if (writer == 0) {
      ::close(fds[0]);
      do {
        for (std::size_t done = 0; done < bytes.size();) {
          const ssize_t n = ::write(fds[1], bytes.data() + done, bytes.size() - done);
          if (n <= 0) ::_exit(0);
          done += static_cast<std::size_t>(n);
        }
      } while (c.endless);
      ::_exit(0);
    }
    ::close(fds[1]);
    const std::string path = "/proc/self/fd/" + std::to_string(fds[0]);
    if (c.read) {
      EXPECT_EQ(ReadWholeFile(path, kLimit), bytes);
    } else {
      EXPECT_THROW(ReadWholeFile(path, kLimit), EOutOfResources);
    }
    ::close(fds[0]);
    ::waitpid(writer, nullptr, 0);
  }
  const auto zeros = ReadWholeFile("/dev/zero");
  EXPECT_EQ(zeros.size(), 64u << 10);
  EXPECT_EQ(std::count(zeros.begin(), zeros.end(), 0), 64 << 10);
  TBitmap picture;
  EXPECT_EQ(OpenOver("/dev/zero", picture), msg::kInvalidBitmap);
}
