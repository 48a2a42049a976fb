// bmp_bench [--size WxH] [--runs N]
//
// Time of opening and saving a 24-bit bitmap file (6000 x 4000 by default), the way the open
// and save commands do it (rows read straight into the pixel store, written in chunks through
// a synced temporary file), beside the same work done through a whole-file buffer (the file
// read whole, then decoded; the file built whole in memory, then saved). The rounds are
// interleaved and the minimum and median of each are printed, in milliseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/bmp.h"
#include "platform/files.h"
#include "platform/picture_files.h"

namespace {

double Milliseconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

int main(int argc, char* argv[]) {
  int width = 6000, height = 4000, runs = 7;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--size") std::sscanf(argv[i + 1], "%dx%d", &width, &height);
    if (std::string(argv[i]) == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
  }
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "lumivane-bmp-bench";
  std::filesystem::create_directories(dir);
  const std::string in = (dir / "in.bmp").string(), out = (dir / "out.bmp").string();
  {
    BitmapObject object(width, height, PixelFormat::pf24bit, BitmapObject::Fill::kNone);
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < object.SizeBytes(); ++i) {
      state ^= state << 13, state ^= state >> 17, state ^= state << 5;
      object.Bits()[i] = static_cast<std::uint8_t>(state);
    }
    SaveFileContent(in, EncodeBitmapFile(object));
  }
  TBitmap picture;
  LoadPictureFile(picture, in);

  struct Phase {
    const char* name;
    std::function<void()> work;
    std::vector<double> times;
  };
  std::vector<Phase> phases = {
      {"open, streamed", [&] { LoadPictureFile(picture, in); }, {}},
      {"open, whole-file buffer",
       [&] { picture.AdoptHandle(DecodeBitmapFile(ReadWholeFile(in))); },
       {}},
      {"save, streamed", [&] { SaveBitmapFile(picture, out); }, {}},
      {"save, whole-file buffer",
       [&] { SaveFileContent(out, EncodeBitmapFile(*picture.Object())); },
       {}},
  };
  for (int run = 0; run < runs; ++run)
    for (Phase& phase : phases) phase.times.push_back(Milliseconds(phase.work));
  std::printf("%dx%d 24-bit, %d runs\n%-26s %10s %10s\n", width, height, runs, "phase", "min ms",
              "median ms");
  for (Phase& phase : phases) {
    std::sort(phase.times.begin(), phase.times.end());
    std::printf("%-26s %10.1f %10.1f\n", phase.name, phase.times.front(),
                phase.times[phase.times.size() / 2]);
  }
  std::filesystem::remove_all(dir);
  return 0;
}
