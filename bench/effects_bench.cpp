// Times every effect command of the effect table on a 6000 x 4000 photo-like picture, and the
// two passes of the binarisation alone: the median of several runs, from the handle going in to
// the result coming out. Prints one line per case: "<name> <milliseconds>".
// usage: lumivane-effects-bench [REPETITIONS [CASE ...]]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "effects/effect_functions.h"
#include "effects/effect_table.h"
#include "photo.h"

namespace {

constexpr std::int32_t kWidth = 6000;
constexpr std::int32_t kHeight = 4000;

HBITMAP MakePhoto() {
  auto object = std::make_unique<BitmapObject>(kWidth, kHeight, PixelFormat::pf24bit);
  for (std::int32_t y = 0; y < kHeight; ++y) {
    std::uint8_t* row = object->Row(y);
    for (std::int32_t x = 0; x < kWidth; ++x) {
      const PhotoPixel p = PhotoColour(x, y, kWidth, kHeight);
      row[3 * x] = p.blue;
      row[3 * x + 1] = p.green;
      row[3 * x + 2] = p.red;
    }
  }
  return HBITMAP(std::move(object));
}

struct Case {
  std::string name;
  std::function<HBITMAP(HBITMAP)> effect;
};

}  // namespace

int main(int argc, char* argv[]) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  const HBITMAP photo = MakePhoto();
  std::vector<Case> cases = {
      {"mean-threshold", MeanThreshold},
      {"binarize-pass", [](HBITMAP h) { return Binarize(std::move(h), 128); }},
  };
  for (const EffectCommand& command : EffectCommands())
    cases.push_back({std::string(command.name), [&command](HBITMAP h) {
                       TBitmap picture;
                       picture.AdoptHandle(std::move(h));
                       RunEffectCommand(command, picture);
                       return picture.DetachHandle();
                     }});
  // Further arguments name the cases to run; none runs them all.
  const std::vector<std::string> only(argv + std::min(argc, 2), argv + argc);
  for (const Case& c : cases) {
    if (!only.empty() && std::find(only.begin(), only.end(), c.name) == only.end()) continue;
    std::vector<double> times;
    for (int r = -1; r < repetitions; ++r) {  // run -1 warms up and is not counted
      HBITMAP input(photo->Clone());
      const auto start = std::chrono::steady_clock::now();
      HBITMAP result = c.effect(std::move(input));
      const auto stop = std::chrono::steady_clock::now();
      if (!result || result->Width() != kWidth) return EXIT_FAILURE;
      if (r >= 0) times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    }
    std::sort(times.begin(), times.end());
    std::printf("%s %.2f\n", c.name.c_str(), times[times.size() / 2]);
    std::fflush(stdout);
  }
  return EXIT_SUCCESS;
}
