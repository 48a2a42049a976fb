// lumivane-batch as a user runs it: files in, files out, messages and exit codes.
#include <gtest/gtest.h>
#include <jerror.h>

#include <cstdlib>
#include <filesystem>

#include "platform/bmp.h"
#include "scanner/contract/settings.h"
#include "support/test_support.h"

namespace {

struct BatchRun {
  int status;
  std::string output;  // standard output and standard error together
};

BatchRun Batch(const std::string& arguments) {
  BatchRun run;
  run.status = RunShell(ShellQuote(BatchToolPath()) + " " + arguments + " 2>&1", &run.output);
  return run;
}

}  // namespace

TEST(Batch, BitmapRoundTripIsByteExact) {
  ScratchDir dir;
  HBITMAP h = MakePicture(13, 5, [](int x, int y) {
    return Bgr{uint8_t(x * 19), uint8_t(y * 40), uint8_t(x + y)};
  });
  WriteBytes(dir / "in.bmp", EncodeBitmapFile(*h.get()));
  const BatchRun run = Batch(ShellQuote(dir / "in.bmp") + " " + ShellQuote(dir / "out.bmp"));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(ReadBytes(dir / "out.bmp"), ReadBytes(dir / "in.bmp"));
}

// Also under a camera's upper-case name, which the bitmap reader hands on.
TEST(Batch, JpegDecodesLikeTheReferenceDecoder) {
  ASSERT_TRUE(HaveProgram("convert") && HaveProgram("djpeg"));
  ScratchDir dir;
  ASSERT_EQ(RunShell("convert -seed 11 -size 50x31 plasma:fractal -quality 70 " +
                     ShellQuote(dir / "in.jpg")),
            0);
  ASSERT_EQ(RunShell("djpeg -ppm -outfile " + ShellQuote(dir / "ref.ppm") + " " +
                     ShellQuote(dir / "in.jpg")),
            0);
  std::filesystem::copy_file(dir / "in.jpg", dir / "IMG_0001.JPG");
  for (const char* name : {"in.jpg", "IMG_0001.JPG"}) {
    const BatchRun run = Batch(ShellQuote(dir / name) + " " + ShellQuote(dir / "out.bmp"));
    ASSERT_EQ(run.status, 0) << name << ": " << run.output;
    HBITMAP out = DecodeBitmapFile(ReadBytes(dir / "out.bmp"));
    ASSERT_TRUE(out);
    EXPECT_EQ(PixelsOf(*out.get()), ReadPnm(dir / "ref.ppm").pixels) << name;
  }
}

TEST(Batch, FailuresPrintTheWindowsMessageAndExitOne) {
  ScratchDir dir;
  WriteBytes(dir / "bad.bmp", {'B', 'X', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14});
  WriteBytes(dir / "short.bmp", {'B', 'M', 1});
  HBITMAP h = MakeFlatPicture(2, 2, {1, 2, 3});
  WriteBytes(dir / "good.bmp", EncodeBitmapFile(*h.get()));
  WriteBytes(dir / "text.jpg", {'t', 'e', 'x', 't'});
  const struct {
    std::string input, output, message;
  } cases[] = {
      {dir / "none.bmp", dir / "o.bmp", "ファイル " + (dir / "none.bmp") + " は開けません.\n"},
      {dir / "bad.bmp", dir / "o.bmp", "ビットマップイメージが不正です.\n"},
      {dir / "short.bmp", dir / "o.bmp", "ストリームからの読み込みエラー.\n"},
      {dir / "text.jpg", dir / "o.bmp", "JPEG エラー #" + std::to_string(JERR_NO_SOI) + ".\n"},
      {dir / "good.bmp", dir / "no/such/o.bmp",
       "ファイル " + (dir / "no/such/o.bmp") + " を作成できません.\n"},
  };
  for (const auto& c : cases) {
    const BatchRun run = Batch(ShellQuote(c.input) + " " + ShellQuote(c.output));
    EXPECT_EQ(run.status, 1) << c.input;
    EXPECT_EQ(run.output, c.message) << c.input;
    EXPECT_FALSE(std::filesystem::exists(dir / "o.bmp")) << c.input;
  }
}

TEST(Batch, UsageErrorsExitTwo) {
  ScratchDir dir;
  HBITMAP h = MakeFlatPicture(2, 2, {1, 2, 3});
  WriteBytes(dir / "in.bmp", EncodeBitmapFile(*h.get()));
  const std::string in = ShellQuote(dir / "in.bmp"), out = ShellQuote(dir / "o.bmp");
  for (const std::string& arguments : std::vector<std::string>{
           "",
           in,
           in + " no-such-effect " + out,
           "--scan",
           "--scan Flatbed",
           "--scan Flatbed no-such-effect " + out,
           "--scan A --scan B " + out,
           "--scan Flatbed --mode sepia " + out,
           "--scan Flatbed --mode " + out,
           "--scan Flatbed --resolution 0 " + out,
           "--scan Flatbed --resolution 300dpi " + out,
           "--scan Flatbed --resolution 32768 " + out,
           "--mode gray " + in + " " + out,
           "--all-pages " + in + " " + out,
           "--scan Flatbed --source drum " + out,
           "--scan Flatbed --source flatbed --all-pages " + out,
           "--scan Flatbed --brightness bright " + out,
           "--scan Flatbed --contrast 40000 " + out,
           "--scan Flatbed --contrast 32768 " + out,
           "--scan Flatbed --area 0,0,10 " + out,
           "--scan Flatbed --area 10,0,5,10 " + out,
           "--scan Flatbed --area 0,10,10,10 " + out,
           "--list-sources " + out,
           "--list-sources --scan Flatbed " + out,
           "--frobnicate " + in + " " + out,
       }) {
    const BatchRun run = Batch(arguments);
    EXPECT_EQ(run.status, 2) << arguments;
    EXPECT_NE(run.output.find("usage: lumivane-batch"), std::string::npos) << arguments;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "o.bmp"));
  const BatchRun help = Batch("--help");
  EXPECT_EQ(help.status, 0);
  std::vector<std::string> documented{"effects:", "--scan SOURCE", "--list-sources", "--all-pages"};
  for (const scanner::Setting& setting : scanner::kSettings)
    documented.push_back("--" + std::string(setting.name) + " " + scanner::UsageForm(setting));
  for (const std::string& flag : documented)
    EXPECT_NE(help.output.find(flag), std::string::npos) << flag;
}

// Standard input and output as pipes, and an endless device, refused from its first bytes well
// within 300 MB of address space.
TEST(Batch, PipesAndDevices) {
  ScratchDir dir;
  HBITMAP h = MakeFlatPicture(200, 100, {1, 2, 3});  // more than a pipe's buffer
  WriteBytes(dir / "good.bmp", EncodeBitmapFile(*h.get()));
  const std::string tool = ShellQuote(BatchToolPath());
  EXPECT_EQ(RunShell(tool + " " + ShellQuote(dir / "good.bmp") + " /dev/stdout | cat > " +
                     ShellQuote(dir / "piped.bmp")),
            0);
  EXPECT_EQ(ReadBytes(dir / "piped.bmp"), ReadBytes(dir / "good.bmp"));
  EXPECT_EQ(RunShell("cat " + ShellQuote(dir / "good.bmp") + " | " + tool + " /dev/stdin " +
                     ShellQuote(dir / "from-pipe.bmp")),
            0);
  EXPECT_EQ(ReadBytes(dir / "from-pipe.bmp"), ReadBytes(dir / "good.bmp"));
  std::string output;
  EXPECT_EQ(RunShell(std::string(kAddressSanitizer ? "" : "ulimit -v 307200 && ") + tool +
                         " /dev/zero " + ShellQuote(dir / "o.bmp") + " 2>&1",
                     &output),
            1);
  EXPECT_EQ(output, "ビットマップイメージが不正です.\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "o.bmp"));
}
