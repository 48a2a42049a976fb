// lumivane-batch against the scanner manager built on SANE, with SANE's test backend and no
// hardware: the pictures equal what scanimage writes for the same device options, the settings
// reach the device, every sheet of the feeder is a page, and the source list names both test
// devices.
//
// SANE's test device very rarely hangs while SANE shuts down, after every result is out. Each
// program run here therefore has a time limit, and a run that hits it is run once more.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "scanner/contract/messages.h"
#include "support/test_support.h"

namespace {

constexpr const char* kTimeLimit = "timeout -k 5 30";
constexpr int kTimedOut = 124;
constexpr int kKilled = 128 + 9;

class SaneBatch : public ::testing::Test {
 protected:
  // SANE reads its configuration from this test's own folder: the test backend alone, at a
  // resolution that gives a real picture (its built-in default gives 1 x 1) of a pattern that
  // tells the pixels apart.
  void SetUp() override {
    ASSERT_TRUE(HaveProgram("scanimage") && HaveProgram("convert") && HaveProgram("pngcheck") &&
                HaveProgram("timeout"));
    std::filesystem::create_directories(dir_ / "sane");
    Write(dir_ / "sane/dll.conf", "test\n");
    Write(dir_ / "sane/test.conf", "resolution 100\ntest-picture Color pattern\n");
  }

  static void Write(const std::string& path, const std::string& text) {
    WriteBytes(path, std::vector<std::uint8_t>(text.begin(), text.end()));
  }

  // Runs command (a shell command line) without a display and with the test configuration;
  // once more when it hangs.
  int Run(const std::string& command, std::string* output) {
    const std::string line =
        "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM SANE_CONFIG_DIR=" +
        ShellQuote(dir_ / "sane") + " " + kTimeLimit + " " + command;
    int status = RunShell(line, output);
    if (status == kTimedOut || status == kKilled) status = RunShell(line, output);
    return status;
  }
  // The tool finds the manager through its run path, which the sanitizers' dlopen does not
  // consult: the manager's folder is also named on the loader's path. SANE unloads its test
  // backend at exit, so the backend's own leaks could not be told from ours by name here; the
  // scanning path's leak check runs in the window's scanner tests, which keep it loaded.
  int Tool(const std::string& arguments, std::string* output, const std::string& environment = "") {
    return Run(std::string("env LD_LIBRARY_PATH=") + ShellQuote(MANAGER_DIR) +
                   " ASAN_OPTIONS=detect_leaks=0 " + environment + " " +
                   ShellQuote(BatchToolPath()) + " " + arguments + " 2>&1",
               output);
  }
  // What scanimage writes for the device options, as a binary pixel map.
  void ScanImage(const std::string& options, const std::string& ppm) {
    std::string ignored;
    ASSERT_EQ(
        Run("scanimage --format=pnm " + options + " -o " + ShellQuote(dir_ / "ref.pnm"), &ignored),
        0)
        << options;
    ASSERT_EQ(
        RunShell("convert " + ShellQuote(dir_ / "ref.pnm") + " -depth 8 ppm:" + ShellQuote(ppm)),
        0);
  }
  // A PNG file of the tool, checked and converted to a binary pixel map.
  static Rgb24Image ReadPng(const std::string& png, const std::string& ppm) {
    EXPECT_EQ(RunShell("pngcheck -q " + ShellQuote(png)), 0) << png;
    EXPECT_EQ(RunShell("convert " + ShellQuote(png) + " -depth 8 ppm:" + ShellQuote(ppm)), 0);
    return ReadPnm(ppm);
  }

  ScratchDir dir_;
};

TEST_F(SaneBatch, ScansEqualWhatScanimageWrites) {
  struct Case {
    const char* name;
    std::string tool;       // the tool's arguments before OUTPUT
    std::string scanimage;  // scanimage's device options for the same picture
    bool grayscale;         // the reference goes through the grayscale effect too
  };
  const Case cases[] = {
      {"device defaults through grayscale", "--scan test:0 grayscale", "-d test:0", true},
      {"gray", "--scan test:0 --mode gray", "-d test:0 --mode Gray --depth 8", false},
      {"line art", "--scan test:0 --mode lineart", "-d test:0 --mode Gray --depth 1", false},
      {"colour", "--scan test:0 --mode color", "-d test:0 --mode Color --depth 8", false},
      {"second device at 50 dpi", "--scan test:1 --resolution 50", "-d test:1 --resolution 50",
       false},
      {"colour at 150 dpi with an effect", "--mode color --resolution 150 --scan test:0 mirror",
       "-d test:0 --mode Color --resolution 150", false},
      {"area", "--scan test:0 --area 10,20,50,70", "-d test:0 -l 10 -t 20 -x 40 -y 50", false},
      {"area in gray at 150 dpi", "--scan test:0 --mode gray --resolution 150 --area 0,5,30,25",
       "-d test:0 --mode Gray --depth 8 --resolution 150 -l 0 -t 5 -x 30 -y 20", false},
      {"one sheet of the feeder", "--scan test:0 --source feeder",
       "-d test:0 --source 'Automatic Document Feeder'", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir_ / "out.png");
    std::string output;
    ASSERT_EQ(Tool(c.tool + " " + ShellQuote(dir_ / "out.png"), &output), 0) << output;
    const Rgb24Image scanned = ReadPng(dir_ / "out.png", dir_ / "out.ppm");

    ScanImage(c.scanimage, dir_ / "ref.ppm");
    Rgb24Image reference = ReadPnm(dir_ / "ref.ppm");
    if (c.grayscale) {
      // Our own grayscale over the same picture read from a bitmap file.
      ASSERT_EQ(
          RunShell("convert " + ShellQuote(dir_ / "ref.pnm") + " " + ShellQuote(dir_ / "ref.bmp")),
          0);
      ASSERT_EQ(Tool(ShellQuote(dir_ / "ref.bmp") + " grayscale " + ShellQuote(dir_ / "ref.png"),
                     &output),
                0)
          << output;
      reference = ReadPng(dir_ / "ref.png", dir_ / "ref.ppm");
    }
    if (c.tool.find("mirror") != std::string::npos) {
      for (int y = 0; y < reference.height; ++y) {
        auto row = reference.pixels.begin() + static_cast<std::ptrdiff_t>(y) * reference.width;
        std::reverse(row, row + reference.width);
      }
    }
    EXPECT_GT(reference.width, 10);
    EXPECT_GT(reference.height, 10);
    EXPECT_EQ(scanned.width, reference.width);
    EXPECT_EQ(scanned.height, reference.height);
    EXPECT_TRUE(scanned.pixels == reference.pixels) << "pixels differ";
  }
}

TEST_F(SaneBatch, ListsBothTestDevicesAndReportsFailures) {
  std::string output;
  EXPECT_EQ(Tool("--list-sources", &output), 0);
  EXPECT_EQ(output, "test:0\tNoname frontend-tester\ntest:1\tNoname frontend-tester\n");

  WriteBytes(dir_ / "old.png", {'k', 'e', 'e', 'p'});
  const struct {
    std::string arguments, message;
  } failures[] = {
      {"--scan test:7", "スキャナー test:7 が見つかりません.\n"},
      {"--scan test:0 --resolution 5000",
       "解像度 5000 dpi を設定できません: TWAIN: Data parameter out of range.\n"},
      {"--scan test:0 --area 0,0,300,10",
       "読み取り範囲 0,0,300,10 mm を設定できません: TWAIN: Data parameter out of range.\n"},
      {"--scan test:0 --brightness 10",
       "明るさ 10 を設定できません: TWAIN: Capability not supported by source.\n"},
  };
  for (const auto& f : failures) {
    EXPECT_EQ(Tool(f.arguments + " " + ShellQuote(dir_ / "old.png"), &output), 1) << f.arguments;
    EXPECT_EQ(output, f.message) << f.arguments;
    EXPECT_EQ(ReadBytes(dir_ / "old.png"), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
  }
  // Without SANE's library the list is not empty but impossible, and says which package to
  // install; so does a scan.
  for (const char* arguments : {"--list-sources", "--scan test:0 x.png"}) {
    EXPECT_EQ(
        Tool(std::string(arguments), &output, "LUMIVANE_SANE_LIBRARY=/nonexistent/libsane.so.1"), 1)
        << arguments;
    EXPECT_EQ(output, std::string(scanner::kNoSaneLibrary) + "\n") << arguments;
  }
}

// A device condition comes out in the scan dialog's own words, exit 1, and no file is left:
// neither the output nor what checked beforehand that it can be created.
TEST_F(SaneBatch, DeviceConditionsAreToldAsTheDialogTellsThem) {
  const struct {
    const char* status;
    const char* text;
  } cases[] = {
      {"SANE_STATUS_JAMMED", "紙詰まりが発生しました。"},
      {"SANE_STATUS_DEVICE_BUSY", "スキャナーは他のプログラムが使用中です。"},
      {"SANE_STATUS_IO_ERROR", "スキャナーとの通信でエラーが発生しました。"},
      {"SANE_STATUS_NO_MEM", "メモリが足りません。"},
      {"SANE_STATUS_ACCESS_DENIED", "スキャナーへのアクセスが拒否されました。"},
  };
  for (const auto& c : cases) {
    Write(dir_ / "sane/test.conf", std::string("resolution 100\nenable-test-options true\n") +
                                       "read-status-code " + c.status + "\n");
    std::string output;
    EXPECT_EQ(Tool("--scan test:0 " + ShellQuote(dir_ / "new.png"), &output), 1) << c.status;
    EXPECT_EQ(output, std::string(c.text) + "\n") << c.status;
    EXPECT_FALSE(std::filesystem::exists(dir_ / "new.png")) << c.status;
  }
}

// What a backend may announce or send that makes no picture of the program's (the fake SANE's
// "frame" mode: format, depth, pixels and bytes a line, lines, last frame, bytes a frame): each
// ends the scan with its own message, exit 1 and no file, never an abort. Under a 512 MB
// address-space limit (not with AddressSanitizer, which takes more; that build refuses any one
// allocation beyond 256 MB instead) none takes memory beyond it, though a flood of unknown
// height may run out of it (the scan thread's allocation fails) before the size limit.
TEST_F(SaneBatch, HostileFramesEndWithTheirMessageInBoundedMemory) {
  ASSERT_TRUE(HaveProgram("prlimit"));
  const std::string mode = dir_ / "mode";
  const std::string environment =
      std::string("ASAN_OPTIONS=detect_leaks=0:max_allocation_size_mb=256 LUMIVANE_SANE_LIBRARY=") +
      FAKE_SANE_PATH + " FAKE_SANE_MODE=" + ShellQuote(mode) +
      (kAddressSanitizer ? "" : " prlimit --as=" + std::to_string(512 << 20));
  using namespace scanner;
  const struct {
    const char* frame;
    const char* message;
  } cases[] = {
      {"1 8 20000 2000000 20000 1 -1", kBadFrameLayout},  // 2,000,000 bytes for 20000 pixels
      {"0 8 1 2147483647 -1 1 -1", kBadFrameLayout},      // 2^31 - 1 bytes for one pixel
      {"2 8 40 0 30 0 -1", kBadFrameLayout},              // red in lines of 0 bytes
      {"0 8 40 40 -1 0 400", kBadFrameLayout},            // gray frames without a last one
      {"77 8 40 40 30 1 1200", kBadFrameLayout},          // a format SANE does not have
      {"0 7 40 40 30 1 1200", kUnsupportedDepth},
      {"1 8 30000 90000 30000 1 -1", kPictureTooLarge},  // 2.7 GB of picture
      {"0 8 40 40 30 1 -1", kBadImageData},              // more lines than announced
      {"0 1 800 100 -1 1 -1", kPictureTooLarge},         // beyond 90 MB of line art
      {"0 8 4000 4000 -1 1 -1", kOutOfMemory},           // 512 MB run out before 715 MB
  };
  for (const auto& c : cases) {
    if (kAddressSanitizer && c.message == kOutOfMemory) continue;
    Write(mode, std::string("frame ") + c.frame + "\n");
    std::string output;
    EXPECT_EQ(Tool("--scan fake:0 " + ShellQuote(dir_ / "new.png"), &output, environment), 1)
        << c.frame;
    EXPECT_EQ(output, std::string(c.message) + "\n") << c.frame;
    EXPECT_FALSE(std::filesystem::exists(dir_ / "new.png")) << c.frame;
  }
}

// The test device's feeder holds ten sheets: --all-pages writes ten pages, each through the
// effect, equal to scanimage's pages of the same area; a feeder empty from the start is an
// error that writes nothing.
TEST_F(SaneBatch, EverySheetOfTheFeederIsAPage) {
  std::filesystem::create_directories(dir_ / "pages");
  std::filesystem::create_directories(dir_ / "ref");
  std::string output;
  ASSERT_EQ(Tool("--scan test:0 --source feeder --all-pages --area 0,0,40,30 negative " +
                     ShellQuote(dir_ / "pages/scan.png"),
                 &output),
            0)
      << output;
  ASSERT_EQ(Run("scanimage --format=pnm -d test:0 --source 'Automatic Document Feeder' -l 0 -t 0 "
                "-x 40 -y 30 --batch=" +
                    ShellQuote(dir_ / "ref/page-%d.pnm") + " 2>/dev/null",
                &output),
            0);
  constexpr int kSheets = 10;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_ / "pages"), {}), kSheets);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_ / "ref"), {}), kSheets);
  for (int page = 1; page <= kSheets; ++page) {
    SCOPED_TRACE(page);
    const std::string number = std::to_string(page);
    const Rgb24Image scanned =
        ReadPng(dir_ / ("pages/scan-" + number + ".png"), dir_ / "pages/page.ppm");
    ASSERT_EQ(RunShell("convert " + ShellQuote(dir_ / ("ref/page-" + number + ".pnm")) +
                       " -depth 8 -negate ppm:" + ShellQuote(dir_ / "ref/page.ppm")),
              0);
    const Rgb24Image reference = ReadPnm(dir_ / "ref/page.ppm");
    EXPECT_GT(reference.width * reference.height, 100);
    EXPECT_EQ(scanned.width, reference.width);
    EXPECT_EQ(scanned.height, reference.height);
    EXPECT_TRUE(scanned.pixels == reference.pixels) << "pixels differ";
    std::filesystem::remove(dir_ / "pages/page.ppm");
    std::filesystem::remove(dir_ / "ref/page.ppm");
  }

  std::filesystem::remove_all(dir_ / "pages");
  std::filesystem::create_directories(dir_ / "pages");
  Write(dir_ / "sane/test.conf",
        "enable-test-options true\nread-status-code SANE_STATUS_NO_DOCS\n");
  EXPECT_EQ(Tool("--scan test:0 --all-pages " + ShellQuote(dir_ / "pages/scan.png"), &output), 1);
  EXPECT_EQ(output, "原稿がありません。\n");
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "pages"));
}

// Photos on a glass as ImageMagick draws them (at the fake device's 100 dpi) come out one a file,
// upright and cropped: every pixel the photo's colour (no corner of glass), the photo's size at
// the scan's resolution. The fake device "fake:1" has area options, "fake:0" not; SANE's own pnm
// device serves the picture as it stands, from its default file (under a lock: one at a time).
// An empty glass is an error that writes nothing.
TEST_F(SaneBatch, DocumentsOnTheGlassComeOutUprightAndCropped) {
  const Photo crooked{192, 128, 64, 300, 200, 300, 400, 5};
  const std::vector<Photo> three{{192, 128, 64, 220, 300, 150, 300, -4},
                                 {64, 128, 192, 180, 240, 410, 300, 3},
                                 {96, 192, 96, 140, 200, 640, 300, 8}};
  const struct {
    const char* name;
    std::string device, flags;
    std::vector<Photo> photos;
    double scale = 1;  // the scan's resolution over the glass's
    bool gray = false;
    int status = 0;
  } cases[] = {
      {"crooked, scanned in its area", "fake:1", "--find-document --straighten", {crooked}, 1.5},
      {"crooked, the scan cropped", "fake:0", "--find-document --straighten", {crooked}, 1, true},
      {"crooked, pnm device", "pnm:0", "--find-document --straighten", {crooked}},
      {"three photos", "fake:1", "--each-document --straighten", three, 1.5},
      {"empty glass", "fake:1", "--each-document", {}, 1.5, false, 1},
  };
  Write(dir_ / "sane/dll.conf", "pnm\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool pnm = c.device.starts_with("pnm");
    const std::string glass = pnm ? "/tmp/input.ppm" : dir_ / "glass.ppm";
    const int lock = ::open("/tmp/input.ppm.lock", O_CREAT | O_RDWR, 0666);
    ASSERT_TRUE(lock >= 0 && (!pnm || ::flock(lock, LOCK_EX) == 0));
    ASSERT_EQ(RunShell(DrawPhotos(c.photos, glass)), 0);
    std::filesystem::remove_all(dir_ / "out");
    std::filesystem::create_directories(dir_ / "out");
    std::string output;
    EXPECT_EQ(
        Tool("--scan " + c.device + " " + c.flags + " " + ShellQuote(dir_ / "out/o.png"), &output,
             (pnm ? std::string() : "LUMIVANE_SANE_LIBRARY=" FAKE_SANE_PATH) +
                 " FAKE_SANE_PICTURE=" + ShellQuote(glass)),
        c.status)
        << output;
    if (pnm) std::filesystem::remove(glass);
    ::close(lock);
    EXPECT_EQ(output, c.status ? std::string(scanner::kNoDocumentFound) + "\n" : "");
    const bool each = c.flags.find("--each-document") != std::string::npos;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_ / "out"), {}),
              each ? c.photos.size() : 1);
    for (std::size_t i = 0; i < c.photos.size() && c.status == 0; ++i) {
      const Photo& p = c.photos[i];
      const std::string name = each ? "out/o-" + std::to_string(i + 1) + ".png" : "out/o.png";
      const Rgb24Image taken = ReadPng(dir_ / name, dir_ / "taken.ppm");
      EXPECT_NEAR(taken.width, p.width * c.scale, 3) << name;
      EXPECT_NEAR(taken.height, p.height * c.scale, 3) << name;
      const auto mean = std::uint8_t((p.red + p.green + p.blue) / 3);
      EXPECT_LE(Farthest(taken.pixels, c.gray ? Bgr{mean, mean, mean}
                                              : Bgr{std::uint8_t(p.blue), std::uint8_t(p.green),
                                                    std::uint8_t(p.red)}),
                24)
          << name;
    }
  }
}

}  // namespace
