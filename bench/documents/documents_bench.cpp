// lumivane-documents-bench [--reps N]
// (build/bench/documents/ of a -DLUMIVANE_BENCH=ON build; OpenCV from `scripts/setup bench`)
//
// Straightening a page scanned at 600 dpi (4960 x 7016, 24-bit, the page laid at 3.7 degrees)
// against OpenCV's warpAffine on the same picture, the same turn and the same result size
// (bilinear, edge pixels repeated, OpenCV's default threads), in the same run and interleaved,
// one warm-up each; OpenCV once into a fresh result each time as ours, once into a result kept
// from run to run. Prints the minimum and the median of each and the ratio of the minimums.
// Then the time FindDocuments takes on previews of the whole glass at 50, 100 and 150 dpi
// (three photos and a page of print) and on the 600 dpi page itself.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "bench/photo.h"
#include "bench/stats.h"
#include "scanner/documents/documents.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kPi = 3.14159265358979323846;

struct Timed {
  std::string name;
  std::function<void()> run;
  std::vector<double> ms = {};
};

void RunInterleaved(std::vector<Timed>& sides, int repetitions) {
  for (int r = -1; r < repetitions; ++r)  // run -1 warms up and is not counted
    for (Timed& side : sides) {
      const auto start = Clock::now();
      side.run();
      const auto stop = Clock::now();
      if (r >= 0)
        side.ms.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    }
}

// A glass of width x height pixels (24-bit, rows of 3 * width bytes): white, with the given
// rectangles on it, each filled with the photo's colours (or print, when print is set).
struct Sheet {
  documents::RotatedRect rect;
  bool print;
};
std::vector<std::uint8_t> Glass(int width, int height, const std::vector<Sheet>& sheets) {
  std::vector<std::uint8_t> bytes(3 * static_cast<std::size_t>(width) * height, 250);
  for (const Sheet& sheet : sheets) {
    const documents::RotatedRect& r = sheet.rect;
    const double c = std::cos(r.degrees * kPi / 180), s = std::sin(r.degrees * kPi / 180);
    const double pitch = height / 117.0;  // lines of print 1/10 inch apart (a glass 11.7 in high)
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        const double dx = x + 0.5 - r.centerX, dy = y + 0.5 - r.centerY;
        const double u = dx * c + dy * s, v = -dx * s + dy * c;
        if (std::abs(u) >= r.width / 2 || std::abs(v) >= r.height / 2) continue;
        std::uint8_t* p = &bytes[3 * (static_cast<std::size_t>(y) * width + x)];
        if (sheet.print) {
          const bool margin = std::abs(u) > 0.4 * r.width || std::abs(v) > 0.42 * r.height;
          const bool ink = !margin && std::fmod(v + r.height, pitch) < 0.4 * pitch &&
                           std::fmod(u + r.width, pitch * 3.1) < pitch * 2.6;
          p[0] = p[1] = p[2] = ink ? 30 : 246;
        } else {
          const PhotoPixel colour = PhotoColour(
              static_cast<std::uint32_t>(u + r.width), static_cast<std::uint32_t>(v + r.height),
              static_cast<std::uint32_t>(2 * r.width), static_cast<std::uint32_t>(2 * r.height));
          p[0] = colour.blue;
          p[1] = colour.green;
          p[2] = colour.red;
        }
      }
  }
  return bytes;
}

void Straightening(int repetitions) {
  const int width = 4960, height = 7016;
  const documents::RotatedRect page{width / 2.0, height / 2.0, 4500, 6500, 3.7};
  const std::vector<std::uint8_t> bytes = Glass(width, height, {{page, false}});
  const documents::PictureView view{width, height, 3 * width, 3, bytes};
  cv::Mat source(height, width, CV_8UC3, const_cast<std::uint8_t*>(bytes.data()));

  // The result's size and turn as Straighten makes them: result pixel (i, j) reads the picture
  // at (i + 0.5 - w / 2, j + 0.5 - h / 2) along the page's sides from its centre.
  const int w = static_cast<int>(page.width - 2 * documents::kStraightenRim);
  const int h = static_cast<int>(page.height - 2 * documents::kStraightenRim);
  const double c = std::cos(page.degrees * kPi / 180), s = std::sin(page.degrees * kPi / 180);
  const double u = 0.5 - w / 2.0, v = 0.5 - h / 2.0;
  const cv::Matx23d toPicture(c, -s, page.centerX + u * c - v * s - 0.5, s, c,
                              page.centerY + u * s + v * c - 0.5);

  documents::Straightened ours;
  cv::Mat fresh, kept;
  std::vector<Timed> sides = {
      {"Straighten", [&] { ours = documents::Straighten(view, page); }},
      {"warpAffine (fresh result)",
       [&] {
         fresh = cv::Mat();
         cv::warpAffine(source, fresh, toPicture, {w, h}, cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                        cv::BORDER_REPLICATE);
       }},
      {"warpAffine (kept result)",
       [&] {
         cv::warpAffine(source, kept, toPicture, {w, h}, cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                        cv::BORDER_REPLICATE);
       }},
  };
  RunInterleaved(sides, repetitions);

  // Both read the same points: the results differ by the rounding of the weights alone.
  int worst = 0;
  long long off = 0;
  for (int y = 0; y < h; ++y) {
    const std::uint8_t* a =
        ours.picture.pixels.data() + static_cast<std::size_t>(y) * ours.picture.bytesPerLine;
    const std::uint8_t* b = kept.ptr(y);
    for (int i = 0; i < 3 * w; ++i) {
      const int d = std::abs(a[i] - b[i]);
      worst = std::max(worst, d);
      off += d > 1;
    }
  }
  std::printf(
      "straightening %d x %d (24-bit) at %.1f degrees to %d x %d; OpenCV %s, %d threads, "
      "%d repetitions, milliseconds\n",
      width, height, page.degrees, w, h, CV_VERSION, cv::getNumThreads(), repetitions);
  std::printf("%-28s %9s %9s %9s\n", "", "min", "median", "ours/this");
  for (const Timed& side : sides)
    std::printf("%-28s %9.2f %9.2f %9.2f\n", side.name.c_str(), Minimum(side.ms), Median(side.ms),
                Minimum(sides[0].ms) / Minimum(side.ms));
  std::printf("results: largest difference %d, %lld samples differ by more than 1\n\n", worst, off);
}

void Finding(int repetitions) {
  std::printf("FindDocuments, milliseconds over %d repetitions\n", repetitions);
  std::printf("%-34s %9s %9s %s\n", "picture", "min", "median", "found");
  for (const double dpi : {50.0, 100.0, 150.0, 600.0}) {
    const double k = dpi / 50;  // the sheets are laid out at 50 dpi
    const int width = static_cast<int>(425 * k), height = static_cast<int>(585 * k);
    std::vector<Sheet> sheets = {
        {{75 * k, 110 * k, 120 * k, 170 * k, -4}, false},
        {{215 * k, 120 * k, 110 * k, 150 * k, 2.5}, false},
        {{350 * k, 130 * k, 100 * k, 130 * k, 7}, false},
        {{212 * k, 410 * k, 300 * k, 260 * k, 1.5}, true},
    };
    if (dpi == 600) sheets = {{{width / 2.0, height / 2.0, 4500, 6500, 3.7}, false}};
    const std::vector<std::uint8_t> bytes = Glass(width, height, sheets);
    std::size_t found = 0;
    std::vector<Timed> sides = {
        {"find", [&] {
           found = documents::FindDocuments({width, height, 3 * width, 3, bytes}).size();
         }}};
    RunInterleaved(sides, dpi == 600 ? std::max(1, repetitions / 4) : repetitions);
    char name[64];
    std::snprintf(name, sizeof name, "%d x %d (%g dpi glass%s)", width, height, dpi,
                  dpi == 600 ? ", one page" : "");
    std::printf("%-34s %9.2f %9.2f %zu of %zu\n", name, Minimum(sides[0].ms), Median(sides[0].ms),
                found, sheets.size());
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  int repetitions = 10;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--reps") == 0 && i + 1 < argc) {
      repetitions = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: lumivane-documents-bench [--reps N]\n");
      return 2;
    }
  }
  Straightening(repetitions);
  Finding(repetitions * 2);
  return 0;
}
