// lumivane-batch --scan and --list-sources against the scripted manager, run as a user runs
// them: no display, the manager found by the loader, messages and exit codes, the files written,
// and the triplets the manager saw (its log).
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "platform/bmp.h"
#include "scanner/contract/messages.h"
#include "support/dib_builder.h"
#include "support/test_support.h"

namespace {

constexpr const char* kSources = "Flatbed,Acme,Flat 1000;Sheetfed,Acme,Feeder 2";
constexpr int kKilled = 128 + 9;

// The manager's log lines: "DAT MSG result" in hex, then what the triplet carried.
const std::vector<std::string> kEnumerate = {"0004 0301 0", "0003 0004 0 Flatbed",
                                             "0003 0005 0 Sheetfed", "0003 0005 7 "};
const std::vector<std::string> kTransfer = {"0009 0502 0 show 0", "0104 0001 6", "0005 0701 0",
                                            "0009 0501 0 show 0"};

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// The lines of a file; none when there is no file (the manager was never asked anything).
std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> lines;
  if (!std::filesystem::exists(path)) return lines;
  const std::vector<std::uint8_t> bytes = ReadBytes(path);
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class BatchScan : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteBytes(dir_ / "image.dib", Dib24(5, 3, 77));
    WriteBytes(dir_ / "old.bmp", {'k', 'e', 'e', 'p'});
  }

  // Runs the tool with no display and the scripted manager first on the loader's path.
  int Run(const std::string& arguments, const std::string& environment, std::string* output,
          const std::string& wrapper = "") {
    const std::string command =
        wrapper + " env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM LD_LIBRARY_PATH=" +
        ShellQuote(SCRIPTED_MANAGER_DIR) + " LUMIVANE_SCRIPTED_LOG=" + ShellQuote(Log()) +
        " LUMIVANE_SCRIPTED_IMAGE=" + ShellQuote(dir_ / "image.dib") + " " + environment + " " +
        ShellQuote(BatchToolPath()) + " " + arguments + " 2>&1";
    // The shell's own note on the killed process is not the tool's.
    return RunShell(wrapper.empty() ? command : "(" + command + ") 2>/dev/null", output);
  }
  std::string Log() const { return dir_ / "manager.log"; }
  // The scanned picture as the tool wrote it: pixel (x, y) is blue x, green y, red 77.
  static std::vector<Bgr> Scanned(bool negative) {
    std::vector<Bgr> out;
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 5; ++x) {
        const Bgr c{std::uint8_t(x), std::uint8_t(y), 77};
        out.push_back(negative ? Bgr{std::uint8_t(255 - c[0]), std::uint8_t(255 - c[1]),
                                     std::uint8_t(255 - c[2])}
                               : c);
      }
    return out;
  }

  ScratchDir dir_;
};

TEST_F(BatchScan, ListsScansAndReportsFailures) {
  const std::string sources = std::string("LUMIVANE_SCRIPTED_SOURCES=") + ShellQuote(kSources);
  const std::string out = ShellQuote(dir_ / "out.bmp");
  const std::string old = ShellQuote(dir_ / "old.bmp");
  struct Case {
    std::string name, arguments, environment;
    int status;
    std::string output;
    std::vector<std::string> log;
    bool negative = false;  // the picture written to out.bmp; old.bmp stays as it was in every case
  };
  const std::string setGray = "0001 0006 0 0101 4 00000001";
  const std::string set300x = "0001 0006 0 1118 7 0000012c",
                    set300y = "0001 0006 0 1119 7 0000012c";
  const Case cases[] = {
      {"list", "--list-sources", sources, 0, "Flatbed\tAcme Flat 1000\nSheetfed\tAcme Feeder 2\n",
       Concat({kEnumerate, {"0004 0302 0"}})},
      {"list nothing",
       "--list-sources",
       "",
       0,
       "スキャナーが見つかりません\n",
       {"0004 0301 0", "0003 0004 7 ", "0004 0302 0"}},
      {"scan the second source with an effect", "--scan Sheetfed negative " + out, sources, 0, "",
       Concat({kEnumerate,
               {"0003 0401 0 Sheetfed"},
               kTransfer,
               {"0003 0402 0 Sheetfed", "0004 0302 0"}}),
       true},
      {"device defaults", "--scan Flatbed " + out, sources, 0, "",
       Concat({kEnumerate,
               {"0003 0401 0 Flatbed"},
               kTransfer,
               {"0003 0402 0 Flatbed", "0004 0302 0"}})},
      {"mode and resolution", "--mode gray --scan Flatbed --resolution 300 " + out, sources, 0, "",
       Concat({kEnumerate,
               {"0003 0401 0 Flatbed", setGray, set300x, set300y},
               kTransfer,
               {"0003 0402 0 Flatbed", "0004 0302 0"}})},
      {"line art", "--scan Flatbed --mode lineart " + out, sources, 0, "",
       Concat({kEnumerate,
               {"0003 0401 0 Flatbed", "0001 0006 0 0101 4 00000000"},
               kTransfer,
               {"0003 0402 0 Flatbed", "0004 0302 0"}})},
      {"colour", "--scan Flatbed --mode color " + out, sources, 0, "",
       Concat({kEnumerate,
               {"0003 0401 0 Flatbed", "0001 0006 0 0101 4 00000002"},
               kTransfer,
               {"0003 0402 0 Flatbed", "0004 0302 0"}})},
      {"an OUTPUT that cannot be created: refused before the scanner is asked",
       "--scan Flatbed " + ShellQuote(dir_ / "no/such/out.bmp"),
       sources,
       1,
       "ファイル " + (dir_ / "no/such/out.bmp") + " を作成できません.\n",
       {}},
      {"area, feeder, brightness and contrast: the source first",
       "--scan Sheetfed --contrast -2.5 --area 10,20.5,50,70 --brightness 12 --source feeder " +
           out,
       sources, 0, "",
       Concat({kEnumerate,
               {"0003 0401 0 Sheetfed", "0001 0006 0 1002 6 00000001",
                "0001 0006 0 1114 8 0000000a 80000014 00000032 00000046",
                "0001 0006 0 1101 7 0000000c", "0001 0006 0 1103 7 8000fffd"},
               kTransfer,
               {"0003 0402 0 Sheetfed", "0004 0302 0"}})},
      {"unknown source", "--scan Drum " + old, sources, 1, "スキャナー Drum が見つかりません.\n",
       Concat({kEnumerate, {"0004 0302 0"}})},
      {"refused resolution", "--scan Flatbed --resolution 9999 " + old,
       sources + " LUMIVANE_SCRIPTED_REFUSE=0x1118", 1,
       "解像度 9999 dpi を設定できません: TWAIN: Data parameter out of range.\n",
       Concat({kEnumerate,
               {"0003 0401 0 Flatbed", "0001 0006 1 1118 7 0000270f", "0008 0001 0",
                "0003 0402 0 Flatbed", "0004 0302 0"}})},
      {"refused mode", "--scan Flatbed --mode lineart --resolution 300 " + old,
       sources + " LUMIVANE_SCRIPTED_REFUSE=0x0101", 1,
       "読み取りモード lineart を設定できません: TWAIN: Data parameter out of range.\n",
       Concat({kEnumerate,
               {"0003 0401 0 Flatbed", "0001 0006 1 0101 4 00000000", "0008 0001 0",
                "0003 0402 0 Flatbed", "0004 0302 0"}})},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(Log());
    std::filesystem::remove(dir_ / "out.bmp");
    std::string output;
    EXPECT_EQ(Run(c.arguments, c.environment, &output), c.status) << c.name << "\n" << output;
    EXPECT_EQ(output, c.output) << c.name;
    EXPECT_EQ(Lines(Log()), c.log) << c.name;
    if (c.status == 0 && c.arguments.starts_with("--list-sources")) {
      EXPECT_FALSE(std::filesystem::exists(dir_ / "out.bmp")) << c.name;
    } else if (c.status == 0) {
      HBITMAP picture = DecodeBitmapFile(ReadBytes(dir_ / "out.bmp"));
      ASSERT_TRUE(picture) << c.name;
      EXPECT_EQ(PixelsOf(*picture.get()), Scanned(c.negative)) << c.name;
    }
    EXPECT_EQ(ReadBytes(dir_ / "old.bmp"), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}))
        << c.name;
  }
}

// --all-pages: a page a sheet until the feeder is empty; the source is opened once and stays
// open. A failure on a later sheet keeps the pages before it, and an empty feeder is an error
// only before the first page.
TEST_F(BatchScan, AllPagesScanUntilTheFeederIsEmpty) {
  const std::string sources = std::string("LUMIVANE_SCRIPTED_SOURCES=") + ShellQuote(kSources);
  const struct {
    const char* name;
    std::string pages;  // sheets, then the condition of the transfer after them
    int status;
    std::string output;
  } cases[] = {
      {"three sheets", "3,29", 0, ""},
      {"a paper jam on the third sheet", "2,20", 1, std::string(scanner::kPaperJam) + "\n"},
      {"an empty feeder", "0,29", 1, std::string(scanner::kNoDocuments) + "\n"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(dir_ / "pages");
    std::filesystem::create_directories(dir_ / "pages");
    std::filesystem::remove(Log());
    std::string output;
    EXPECT_EQ(Run("--scan Sheetfed --all-pages negative " + ShellQuote(dir_ / "pages/scan.bmp"),
                  sources + " LUMIVANE_SCRIPTED_PAGES=" + c.pages, &output),
              c.status)
        << c.name;
    EXPECT_EQ(output, c.output) << c.name;
    const int sheets = std::stoi(c.pages);
    std::vector<std::string> expected =
        Concat({kEnumerate, {"0003 0401 0 Sheetfed", "0001 0006 0 1002 6 00000001"}});
    for (int page = 1; page <= sheets; ++page) {
      expected.insert(expected.end(), kTransfer.begin(), kTransfer.end());
      HBITMAP picture =
          DecodeBitmapFile(ReadBytes(dir_ / ("pages/scan-" + std::to_string(page) + ".bmp")));
      ASSERT_TRUE(picture) << c.name << " page " << page;
      EXPECT_EQ(PixelsOf(*picture.get()), Scanned(true)) << c.name << " page " << page;
    }
    // The failed transfer, the status asked after it, and the source closed once at the end.
    expected.insert(expected.end(), {"0009 0502 0 show 0", "0104 0001 1", "0009 0501 0 show 0",
                                     "0008 0001 0", "0003 0402 0 Sheetfed", "0004 0302 0"});
    EXPECT_EQ(Lines(Log()), expected) << c.name;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_ / "pages"), {}), sheets)
        << c.name;
  }
}

// Without a manager library anywhere the loader looks (a copy of the tool in a folder of its
// own), scanning and listing fail with the window's message and touch no file.
TEST_F(BatchScan, WithoutAManagerLibraryTheWindowsMessageIsPrinted) {
  std::filesystem::create_directories(dir_ / "bin");
  std::filesystem::copy_file(BatchToolPath(), dir_ / "bin/lumivane-batch");
  // The tool's run path is relative to it: beside it, its own library folder without a manager.
  std::filesystem::create_directories(dir_ / "lib/lumivane");
  std::filesystem::copy_file(
      std::filesystem::path(BatchToolPath()).parent_path() / "../lib/lumivane/liblvglobalmem.so",
      dir_ / "lib/lumivane/liblvglobalmem.so");
  for (const std::string& arguments :
       {std::string("--list-sources"), "--scan Flatbed " + ShellQuote(dir_ / "old.bmp")}) {
    std::string output;
    EXPECT_EQ(RunShell("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u LD_LIBRARY_PATH " +
                           ShellQuote(dir_ / "bin/lumivane-batch") + " " + arguments + " 2>&1",
                       &output),
              1)
        << arguments;
    EXPECT_EQ(output, "TWAIN_32.DLLが見つかりません.\n") << arguments;
  }
  EXPECT_EQ(ReadBytes(dir_ / "old.bmp"), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
}

// Should the scanner layer hang while it shuts down, the results are already out: the picture
// is written, the list printed, before the manager is closed.
TEST_F(BatchScan, AHangWhileClosingLosesNothing) {
  ASSERT_TRUE(HaveProgram("timeout") && HaveProgram("pngcheck") && HaveProgram("convert"));
  const std::string environment = std::string("LUMIVANE_SCRIPTED_SOURCES=") + ShellQuote(kSources) +
                                  " LUMIVANE_SCRIPTED_HANG_ON_CLOSE=1";
  // The tool needs a fraction of a second; it is killed well after that.
  const std::string wrapper = "timeout -s KILL 5";
  std::string output;
  EXPECT_EQ(Run("--scan Flatbed " + ShellQuote(dir_ / "out.png"), environment, &output, wrapper),
            kKilled)
      << output;
  EXPECT_EQ(RunShell("pngcheck -q " + ShellQuote(dir_ / "out.png")), 0);
  ASSERT_EQ(
      RunShell("convert " + ShellQuote(dir_ / "out.png") + " " + ShellQuote(dir_ / "out.ppm")), 0);
  EXPECT_EQ(ReadPnm(dir_ / "out.ppm").pixels, Scanned(false));

  EXPECT_EQ(Run("--list-sources", environment, &output, wrapper), kKilled);
  EXPECT_EQ(output, "Flatbed\tAcme Flat 1000\nSheetfed\tAcme Feeder 2\n");
}

}  // namespace
