// memory_bench [--size WxH]
//
// Peak resident memory of lumivane-batch (the window's open, effect and save code without the
// window; $LUMIVANE_BATCH names another build of it to compare) for a 24-megapixel picture
// (6000 x 4000 by default), one child process per case, measured by the kernel (ru_maxrss of
// the finished child). Each peak is printed against its bound: the fixed part (the same program
// doing nothing: --help), the pictures held at once (source and result of an effect), the input
// file's bytes (not for a bitmap file, whose rows are read straight into the picture), the
// output file's bytes (the PNG writer holds its compressed data once; a bitmap file is written
// in chunks), a few megabytes of chunk buffers and, for a JPEG with several scans, libjpeg's
// coefficient buffers. A PNG input (our encoder's) is read piece by piece, not held; a JPEG with
// an EXIF orientation of 6 is turned as it is decoded, into the one picture.
// cjpeg (libjpeg-turbo-progs) makes the JPEG inputs.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/peak_rss.h"
#include "platform/bmp.h"
#include "platform/files.h"

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

// Runs the batch tool with arguments in a child process; returns its peak RSS in bytes, or -1
// when it failed.
long long PeakOf(const std::vector<std::string>& arguments) {
  const char* chosen = std::getenv("LUMIVANE_BATCH");
  return PeakRssOf(chosen && *chosen ? chosen : LUMIVANE_BATCH_PATH, arguments);
}

// Smooth gradients with a little noise, so that the files have realistic sizes.
void WriteInputs(const std::string& dir, int width, int height) {
  BitmapObject object(width, height, PixelFormat::pf24bit, BitmapObject::Fill::kNone);
  std::string ppm = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  std::uint32_t state = 12345;
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = object.Row(y);
    for (int x = 0; x < width; ++x) {
      state ^= state << 13, state ^= state >> 17, state ^= state << 5;
      const int base = 128 + static_cast<int>(60 * std::sin(x / 211.0) + 50 * std::cos(y / 173.0));
      const int v = std::clamp(base + static_cast<int>(state & 15) - 7, 0, 255);
      row[3 * x] = static_cast<std::uint8_t>(v);
      row[3 * x + 1] = static_cast<std::uint8_t>(255 - v);
      row[3 * x + 2] = static_cast<std::uint8_t>((v + x) & 255);
      ppm += static_cast<char>(row[3 * x + 2]);
      ppm += static_cast<char>(row[3 * x + 1]);
      ppm += static_cast<char>(row[3 * x]);
    }
  }
  SaveFileContent(dir + "/in.bmp", EncodeBitmapFile(object));
  SaveFileContent(dir + "/in.ppm", {reinterpret_cast<const std::uint8_t*>(ppm.data()), ppm.size()});
  const std::string cjpeg = "cjpeg -quality 90 ";
  if (std::system((cjpeg + "-outfile " + dir + "/in.jpg " + dir + "/in.ppm").c_str()) != 0 ||
      std::system((cjpeg + "-progressive -outfile " + dir + "/progressive.jpg " + dir + "/in.ppm")
                      .c_str()) != 0)
    std::fprintf(stderr, "cjpeg failed (scripts/setup installs libjpeg-turbo-progs)\n");
  std::filesystem::remove(dir + "/in.ppm");
  // The baseline file with an EXIF block after its start marker: orientation 6, a quarter turn.
  std::vector<std::uint8_t> jpeg = ReadWholeFile(dir + "/in.jpg");
  const std::uint8_t exif[] = {0xFF, 0xE1, 0, 34, 'E', 'x', 'i', 'f', 0, 0,    'M', 'M',
                               0,    42,   0, 0,  0,   8,   0,   1,   1, 0x12, 0,   3,
                               0,    0,    0, 1,  0,   6,   0,   0,   0, 0,    0,   0};
  jpeg.insert(jpeg.begin() + 2, std::begin(exif), std::end(exif));
  SaveFileContent(dir + "/exif6.jpg", jpeg);
}

}  // namespace

int main(int argc, char* argv[]) {
  int width = 6000, height = 4000;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--size") std::sscanf(argv[i + 1], "%dx%d", &width, &height);
  const std::string dir =
      (std::filesystem::temp_directory_path() / ("lumivane-memory-" + std::to_string(::getpid())))
          .string();
  std::filesystem::create_directories(dir);
  // In a child, so that this process does not carry the picture into the measured ones.
  if (const pid_t pid = ::fork(); pid == 0) {
    WriteInputs(dir, width, height);
    ::_exit(0);
  } else {
    ::waitpid(pid, nullptr, 0);
  }
  const auto size = [&](const std::string& name) {
    return static_cast<double>(std::filesystem::file_size(dir + "/" + name));
  };
  const double picture = static_cast<double>(RowStride(width, 24)) * height;
  // cjpeg's default 4:2:0 sampling: 1.5 samples per pixel, 2 bytes per coefficient.
  const double coefficients = 1.5 * 2.0 * width * height;
  const long long fixed = PeakOf({"--help"});
  if (PeakOf({dir + "/in.bmp", dir + "/in.png"}) < 0) std::fprintf(stderr, "no PNG input\n");

  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::string output;
    double pictures;         // held at once
    double outputFactor;     // copies of the output held in memory
    double extra;            // libjpeg's coefficient buffers, or chunk buffers
    double inputFactor = 1;  // copies of the input file held in memory
  };
  // The bitmap writer's chunk and what the reader takes for the headers, or the PNG writer's
  // batch of rows and zlib's state, with room to spare.
  const double chunkBuffers = 2 * kMiB;
  const Case cases[] = {
      {"BMP  -> BMP save",
       {dir + "/in.bmp", dir + "/out.bmp"},
       "out.bmp",
       picture,
       0,
       chunkBuffers,
       0},
      {"JPEG -> BMP save",
       {dir + "/in.jpg", dir + "/out.bmp"},
       "out.bmp",
       picture,
       0,
       chunkBuffers},
      {"BMP  -> blur -> PNG",
       {dir + "/in.bmp", "blur", dir + "/out.png"},
       "out.png",
       2 * picture,
       1,
       chunkBuffers,
       0},
      {"PNG  -> BMP save",
       {dir + "/in.png", dir + "/out.bmp"},
       "out.bmp",
       picture,
       0,
       chunkBuffers,
       0},
      {"JPEG, EXIF 6 -> BMP save",
       {dir + "/exif6.jpg", dir + "/out.bmp"},
       "out.bmp",
       picture,
       0,
       chunkBuffers},
      {"JPEG -> blur -> PNG",
       {dir + "/in.jpg", "blur", dir + "/out.png"},
       "out.png",
       2 * picture,
       1,
       chunkBuffers},
      {"progressive JPEG -> blur -> PNG",
       {dir + "/progressive.jpg", "blur", dir + "/out.png"},
       "out.png",
       2 * picture,
       1,
       coefficients + chunkBuffers},
  };
  std::printf("%dx%d, picture %.1f MiB, fixed part (--help) %.1f MiB\n", width, height,
              picture / kMiB, static_cast<double>(fixed) / kMiB);
  std::printf("%-32s %10s %10s %10s %10s %10s %7s\n", "case", "peak MiB", "bound MiB", "pictures",
              "input", "output", "peak/b");
  for (const Case& c : cases) {
    const long long peak = PeakOf(c.arguments);
    const std::string input = std::filesystem::path(c.arguments.front()).filename().string();
    const double in = size(input) * c.inputFactor, out = size(c.output) * c.outputFactor;
    const double bound = static_cast<double>(fixed) + c.pictures + in + out + c.extra;
    std::printf("%-32s %10.1f %10.1f %10.1f %10.1f %10.1f %7.2f%s\n", c.name,
                static_cast<double>(peak) / kMiB, bound / kMiB, c.pictures / kMiB, in / kMiB,
                out / kMiB, static_cast<double>(peak) / bound, peak < 0 ? "  (failed)" : "");
  }
  std::filesystem::remove_all(dir);
  return 0;
}
