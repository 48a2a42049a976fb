// lumivane-phases-bench [--sizes 1,24,100|WxH,...] [--reps N] [--only PHASE,...] [--no-rss]
// (build/bench/phases/ of a -DLUMIVANE_BENCH=ON build; OpenCV from `scripts/setup bench`)
//
// Times every phase of a picture's way through Lumivane beside its peers, in the same run and
// interleaved (ours, then each peer, repetition after repetition, after one warm-up each):
// open BMP, JPEG (also one turned by its EXIF orientation) and PNG (the file our encoder writes)
// against OpenCV's imread (what Python's cv2.imread calls); each effect of the effect table, run as
// the window runs it (allocation included) on the result of the previous run, against its nearest
// OpenCV equivalent writing into outputs kept from run to run, with OpenCV's default threads and
// with one thread; save BMP against imwrite (ours also syncs and renames); the PNG encoder and the
// PNG save against zlib level 6 alone on the rows as our writer feeds them (in memory), and the
// save also against imwrite at level 6, default strategy. Copying the picture into a fresh and into
// a reused buffer gives the floor. Prints the minimum and the median of each, and the ratio of the
// minimums. First of all, the peak RSS of lumivane-batch for open -> BMP save (from a BMP and from
// a PNG) and open -> blur -> PNG beside the picture size, one child process each
// (--no-rss skips it). --only runs the phases named (as printed: "open BMP", "blur", "copy
// floor"...). Sizes: 1 (1224 x 816), 24 (6000 x 4000), 100 (12000 x 8333) megapixels or WxH; 1
// and 24 by default. The pictures are those of photo.h; the files go to a temporary folder.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "bench/peak_rss.h"
#include "bench/photo.h"
#include "bench/stats.h"
#include "effects/effect_table.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/picture_files.h"
#include "png/png_writer.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kMiB = 1024.0 * 1024.0;

struct Size {
  int width, height;
};

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    if (comma > start) parts.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return parts;
}

bool ParseSize(const std::string& text, Size& size) {
  if (text == "1")
    size = {1224, 816};
  else if (text == "24")
    size = {6000, 4000};
  else if (text == "100")
    size = {12000, 8333};
  else if (std::sscanf(text.c_str(), "%dx%d", &size.width, &size.height) != 2)
    return false;
  return size.width > 0 && size.height > 0;
}

HBITMAP MakePhoto(Size size) {
  auto object = std::make_unique<BitmapObject>(size.width, size.height, PixelFormat::pf24bit,
                                               BitmapObject::Fill::kNone);
  for (int y = 0; y < size.height; ++y) {
    std::uint8_t* row = object->Row(y);
    for (int x = 0; x < size.width; ++x) {
      const PhotoPixel p = PhotoColour(x, y, size.width, size.height);
      row[3 * x] = p.blue;
      row[3 * x + 1] = p.green;
      row[3 * x + 2] = p.red;
    }
  }
  return HBITMAP(std::move(object));
}

cv::Mat ToMat(const BitmapObject& picture) {
  cv::Mat mat(picture.Height(), picture.Width(), CV_8UC3);
  for (int y = 0; y < picture.Height(); ++y)
    std::memcpy(mat.ptr(y), picture.Row(y), 3 * static_cast<std::size_t>(picture.Width()));
  return mat;
}

// The rows exactly as the PNG writer hands them to the compressor: filter byte 0, then red,
// green, blue.
std::vector<std::uint8_t> PngRows(const BitmapObject& picture) {
  const std::size_t rowSize = 1 + 3 * static_cast<std::size_t>(picture.Width());
  std::vector<std::uint8_t> rows(rowSize * picture.Height());
  for (int y = 0; y < picture.Height(); ++y) {
    const std::uint8_t* in = picture.Row(y);
    std::uint8_t* out = rows.data() + rowSize * y;
    *out++ = 0;
    for (int x = 0; x < picture.Width(); ++x, in += 3, out += 3) {
      out[0] = in[2];
      out[1] = in[1];
      out[2] = in[0];
    }
  }
  return rows;
}

// OpenCV's outputs and intermediates, kept from run to run: OpenCV writes into an output of the
// right size and type where it has one, as ours writes into the store the last effect freed.
struct CvScratch {
  cv::Mat g, t, b, small, out;
};

// The nearest OpenCV equivalent of each effect, by its command name.
using CvEffect = std::function<cv::Mat(const cv::Mat&, CvScratch&)>;
std::map<std::string, CvEffect> OpenCvEffects() {
  const auto gray = [](const cv::Mat& a, CvScratch& s) {
    cv::Mat &g = s.g, &out = s.out;
    cv::cvtColor(a, g, cv::COLOR_BGR2GRAY);
    cv::cvtColor(g, out, cv::COLOR_GRAY2BGR);
    return out;
  };
  const auto filter = [](cv::Mat kernel) {
    return [kernel](const cv::Mat& a, CvScratch& s) {
      cv::Mat& out = s.out;
      cv::filter2D(a, out, -1, kernel, {-1, -1}, 0, cv::BORDER_REPLICATE);
      return out;
    };
  };
  const cv::Mat sharpen = (cv::Mat_<float>(3, 3) << -1, -1, -1, -1, 24, -1, -1, -1, -1) / 16.0f;
  const cv::Mat emboss = (cv::Mat_<float>(3, 3) << -1, -1, -1, 0, 1, 0, 1, 1, 1);
  const cv::Mat sepia = (cv::Mat_<float>(3, 3) << 0.114f, 0.586f, 0.289f, 0.114f, 0.586f, 0.289f,
                         0.114f, 0.586f, 0.289f);
  return {
      {"grayscale", gray},
      {"binarize",
       [](const cv::Mat& a, CvScratch& s) {
         cv::Mat &g = s.g, &t = s.t, &out = s.out;
         cv::cvtColor(a, g, cv::COLOR_BGR2GRAY);
         cv::threshold(g, t, cv::mean(g)[0], 255, cv::THRESH_BINARY);
         cv::cvtColor(t, out, cv::COLOR_GRAY2BGR);
         return out;
       }},
      {"blur",
       [](const cv::Mat& a, CvScratch& s) {
         cv::Mat& out = s.out;
         cv::blur(a, out, {3, 3}, {-1, -1}, cv::BORDER_REPLICATE);
         return out;
       }},
      {"sharpen", filter(sharpen)},
      {"unsharp-mask",
       [](const cv::Mat& a, CvScratch& s) {
         cv::Mat &b = s.b, &out = s.out;
         cv::blur(a, b, {3, 3}, {-1, -1}, cv::BORDER_REPLICATE);
         cv::addWeighted(a, 2, b, -2, 128, out);
         return out;
       }},
      {"negative",
       [](const cv::Mat& a, CvScratch& s) {
         cv::Mat& out = s.out;
         cv::bitwise_not(a, out);
         return out;
       }},
      {"sepia",
       [sepia](const cv::Mat& a, CvScratch& s) {
         cv::Mat& out = s.out;
         cv::transform(a, out, sepia);
         return out;
       }},
      {"jagged-mosaic",
       [](const cv::Mat& a, CvScratch& s) {
         cv::Mat &small = s.small, &out = s.out;
         cv::resize(a, small, {a.cols / 5, a.rows / 5}, 0, 0, cv::INTER_NEAREST);
         cv::resize(small, out, a.size(), 0, 0, cv::INTER_NEAREST);
         return out;
       }},
      {"color-emboss", filter(emboss)},
      {"mirror",
       [](const cv::Mat& a, CvScratch& s) {
         cv::Mat& out = s.out;
         cv::flip(a, out, 1);
         return out;
       }},
  };
}

// One side of a phase. before and after run untimed around each timed run; threads, when not 0,
// is OpenCV's thread count for it.
struct Side {
  std::string name;
  std::function<void()> run;
  std::function<void()> before = {}, after = {};
  int threads = 0;
  std::vector<double> ms = {};
};

// The first side is ours (or, for the floor, the first floor); the others are its peers.
struct Phase {
  std::string name;
  std::vector<Side> sides;
};

void RunPhase(Phase& phase, int repetitions) {
  for (int r = -1; r < repetitions; ++r) {  // run -1 warms up and is not counted
    for (Side& side : phase.sides) {
      if (side.threads != 0) cv::setNumThreads(side.threads);
      if (side.before) side.before();
      const auto start = Clock::now();
      side.run();
      const auto stop = Clock::now();
      if (side.after) side.after();
      if (r >= 0)
        side.ms.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    }
  }
}

void PrintPhase(const Phase& phase) {
  const Side& ours = phase.sides.front();
  const double oursMin = Minimum(ours.ms);
  char oursText[64];
  std::snprintf(oursText, sizeof oursText, "%9.2f %9.2f", oursMin, Median(ours.ms));
  if (phase.sides.size() == 1) {
    std::printf("%-16s %s\n", phase.name.c_str(), oursText);
    return;
  }
  for (std::size_t i = 1; i < phase.sides.size(); ++i) {
    const Side& peer = phase.sides[i];
    std::printf("%-16s %s   %-24s %9.2f %9.2f %8.2f\n", i == 1 ? phase.name.c_str() : "",
                i == 1 ? oursText : "                   ", peer.name.c_str(), Minimum(peer.ms),
                Median(peer.ms), oursMin / Minimum(peer.ms));
  }
}

// Throws what the call throws as a plain failure, so that a broken phase stops the benchmark.
void Must(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "%s failed\n", what);
    std::exit(1);
  }
}

std::string Name(Size size) {
  return std::to_string(size.width) + "x" + std::to_string(size.height);
}

struct TempDir {
  std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("lumivane-phases-" + std::to_string(::getpid()));
  TempDir() { std::filesystem::create_directories(path); }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string operator/(const std::string& name) const { return (path / name).string(); }
};

void BenchSize(Size size, int repetitions, const std::vector<std::string>& only,
               const TempDir& dir) {
  const auto wanted = [&](const std::string& name) {
    return only.empty() || std::find(only.begin(), only.end(), name) != only.end();
  };
  const HBITMAP photo = MakePhoto(size);
  const cv::Mat mat = ToMat(*photo.get());
  const std::size_t bytes = photo->SizeBytes();
  const std::string bmp = dir / (Name(size) + ".bmp"), jpg = dir / (Name(size) + ".jpg");
  const std::string png = dir / (Name(size) + ".png");
  TBitmap picture;
  picture.AdoptHandle(HBITMAP(photo->Clone()));
  Must(cv::imwrite(jpg, mat, {cv::IMWRITE_JPEG_QUALITY, 90}), "writing the JPEG input");
  // The same JPEG with an EXIF orientation of 6, as a phone stores a portrait photo: both sides
  // turn it upright (imread does by default).
  const std::string turned = dir / (Name(size) + "-exif6.jpg");
  std::vector<std::uint8_t> exif6 = ReadWholeFile(jpg);
  const std::uint8_t block[] = {0xFF, 0xE1, 0, 34, 'E', 'x', 'i', 'f', 0, 0,    'M', 'M',
                                0,    42,   0, 0,  0,   8,   0,   1,   1, 0x12, 0,   3,
                                0,    0,    0, 1,  0,   6,   0,   0,   0, 0,    0,   0};
  exif6.insert(exif6.begin() + 2, std::begin(block), std::end(block));
  SaveFileContent(turned, exif6);
  const int defaultThreads = cv::getNumThreads();

  std::vector<Phase> phases;
  TBitmap opened;
  cv::Mat read;
  const auto drop = [&] {
    opened.DetachHandle();
    read.release();
  };
  for (const std::pair<std::string, std::string>& file :
       {std::pair<std::string, std::string>{"open BMP", bmp},
        std::pair<std::string, std::string>{"open JPEG", jpg},
        std::pair<std::string, std::string>{"open JPEG EXIF 6", turned},
        std::pair<std::string, std::string>{"open PNG", png}}) {
    const std::string path = file.second;
    phases.push_back(
        {file.first,
         {{"ours", [&, path] { LoadPictureFile(opened, path); }, {}, drop},
          {"OpenCV imread", [&, path] { read = cv::imread(path, cv::IMREAD_COLOR); }, {}, drop}}});
  }

  const std::map<std::string, CvEffect> peers = OpenCvEffects();
  // Ours as the window applies effects one after another: the picture is the previous result,
  // given the photo's pixels again (untimed) before each run.
  TBitmap working;
  working.AdoptHandle(HBITMAP(photo->Clone()));
  const auto restorePhoto = [&] {
    HBITMAP h = working.DetachHandle();
    std::memcpy(h->Bits(), photo->Bits(), photo->SizeBytes());
    working.AdoptHandle(std::move(h));
  };
  cv::Mat output;
  CvScratch scratch;
  for (const EffectCommand& command : EffectCommands()) {
    const std::string name(command.name);
    Phase phase{
        name,
        {{"ours", [&, effect = &command] { RunEffectCommand(*effect, working); }, restorePhoto}}};
    if (const auto peer = peers.find(name); peer != peers.end()) {
      const CvEffect* effect = &peer->second;
      phase.sides.push_back({"OpenCV default threads",
                             [&, effect] { output = (*effect)(mat, scratch); },
                             {},
                             {},
                             defaultThreads});
      phase.sides.push_back(
          {"OpenCV 1 thread", [&, effect] { output = (*effect)(mat, scratch); }, {}, {}, 1});
    }
    phases.push_back(std::move(phase));
  }

  const std::string ourBmp = dir / "ours.bmp", theirBmp = dir / "opencv.bmp";
  phases.push_back({"save BMP",
                    {{"ours", [&] { SaveBitmapFile(picture, ourBmp); }},
                     {"OpenCV imwrite", [&] { cv::imwrite(theirBmp, mat); }}}});

  // The PNG phases: the encoder alone against zlib on the same rows, then whole saves.
  std::vector<std::uint8_t> rows, compressed;
  std::size_t encodedSize = 0;
  uLongf compressedSize = 0;
  if (wanted("encode PNG") || wanted("save PNG")) {
    rows = PngRows(*photo.get());
    compressed.resize(compressBound(static_cast<uLong>(rows.size())));
  }
  const Side zlibAlone{"zlib level 6 alone", [&] {
                         compressedSize = static_cast<uLongf>(compressed.size());
                         Must(compress2(compressed.data(), &compressedSize, rows.data(),
                                        static_cast<uLong>(rows.size()), 6) == Z_OK,
                              "compress2");
                       }};
  phases.push_back(
      {"encode PNG", {{"ours", [&] { encodedSize = EncodePng(picture).size(); }}, zlibAlone}});
  const std::string ourPng = dir / "ours.png", theirPng = dir / "opencv.png";
  phases.push_back({"save PNG",
                    {{"ours", [&] { SavePngFile(picture, ourPng); }},
                     zlibAlone,
                     {"OpenCV imwrite level 6", [&] {
                        cv::imwrite(theirPng, mat,
                                    {cv::IMWRITE_PNG_COMPRESSION, 6, cv::IMWRITE_PNG_STRATEGY,
                                     cv::IMWRITE_PNG_STRATEGY_DEFAULT});
                      }}}});

  std::unique_ptr<std::uint8_t[]> fresh, reused(new std::uint8_t[bytes]);
  phases.push_back({"copy floor",
                    {{"memcpy fresh",
                      [&] {
                        fresh = std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
                        std::memcpy(fresh.get(), photo->Bits(), bytes);
                      },
                      {},
                      [&] { fresh.reset(); }},
                     {"memcpy reused", [&] { std::memcpy(reused.get(), photo->Bits(), bytes); }}}});

  std::printf(
      "\n%d x %d (%.1f MP, %.1f MiB), %d repetitions, milliseconds; OpenCV %s, %d threads\n",
      size.width, size.height, size.width * double(size.height) / 1e6, bytes / kMiB, repetitions,
      CV_VERSION, defaultThreads);
  std::printf("%-16s %9s %9s   %-24s %9s %9s %8s\n", "phase", "ours min", "median", "peer",
              "peer min", "median", "min/min");
  for (Phase& phase : phases) {
    if (!wanted(phase.name)) continue;
    const bool ok = RunGuarded([&] { RunPhase(phase, repetitions); });
    Must(ok, phase.name.c_str());
    if (phase.name == "copy floor") {
      std::printf("%-16s %9.2f %9.2f   (memcpy into a fresh buffer); into a reused one %.2f %.2f\n",
                  phase.name.c_str(), Minimum(phase.sides[0].ms), Median(phase.sides[0].ms),
                  Minimum(phase.sides[1].ms), Median(phase.sides[1].ms));
    } else {
      PrintPhase(phase);
    }
    std::fflush(stdout);
  }
  cv::setNumThreads(defaultThreads);
  // imwrite chooses its own row filters, so its file (and its work) can differ from ours.
  if (std::filesystem::exists(ourPng) && std::filesystem::exists(theirPng))
    std::printf("PNG files: ours %ju bytes, OpenCV's %ju bytes\n",
                static_cast<std::uintmax_t>(std::filesystem::file_size(ourPng)),
                static_cast<std::uintmax_t>(std::filesystem::file_size(theirPng)));
  if (encodedSize != 0)
    std::printf("compressed sizes: ours %zu bytes of PNG, zlib alone %lu bytes\n", encodedSize,
                static_cast<unsigned long>(compressedSize));
}

// Writes the BMP and PNG inputs of each size, in a child process so that this one stays small, then
// measures the batch tool's peak RSS for each size. Runs before anything else: a child's peak
// counts the parent's at the time of the fork, so later the parent's pictures would show.
void WriteInputsAndMeasurePeaks(const std::vector<Size>& sizes, bool rss, const TempDir& dir) {
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid == 0) {
    for (const Size size : sizes) {
      TBitmap picture;
      picture.AdoptHandle(MakePhoto(size));
      if (!RunGuarded([&] {
            SaveBitmapFile(picture, dir / (Name(size) + ".bmp"));
            SavePngFile(picture, dir / (Name(size) + ".png"));
          }))
        ::_exit(1);
    }
    ::_exit(0);
  }
  int status = 0;
  Must(
      pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0,
      "writing the BMP and PNG inputs");
  if (!rss) return;
  rusage self{};
  ::getrusage(RUSAGE_SELF, &self);
  const long long fixed = PeakRssOf(LUMIVANE_BATCH_PATH, {"--help"});
  std::printf(
      "peak RSS of lumivane-batch, one process per case (its fixed part, --help: %.1f MiB;"
      " this process: %.1f MiB)\n",
      fixed / kMiB, self.ru_maxrss / 1024.0);
  std::printf("%-12s %9s   %-24s %9s %s\n", "picture", "MiB", "case", "peak MiB",
              "(peak - fixed) / bound");
  for (const Size size : sizes) {
    const double bytes = static_cast<double>(RowStride(size.width, 24)) * size.height;
    const std::string bmp = dir / (Name(size) + ".bmp"), png = dir / "rss.png";
    const long long toBmp = PeakRssOf(LUMIVANE_BATCH_PATH, {bmp, dir / "rss.bmp"});
    const long long pngToBmp =
        PeakRssOf(LUMIVANE_BATCH_PATH, {dir / (Name(size) + ".png"), dir / "rss.bmp"});
    const long long toPng = PeakRssOf(LUMIVANE_BATCH_PATH, {bmp, "blur", png});
    const double compressed = static_cast<double>(std::filesystem::file_size(png));
    std::printf("%-12s %9.1f   %-24s %9.1f %.2f of the picture\n", Name(size).c_str(), bytes / kMiB,
                "open BMP -> save BMP", toBmp / kMiB, (toBmp - fixed) / bytes);
    std::printf("%-12s %9s   %-24s %9.1f %.2f of the picture\n", "", "", "open PNG -> save BMP",
                pngToBmp / kMiB, (pngToBmp - fixed) / bytes);
    std::printf("%-12s %9s   %-24s %9.1f %.2f of 2 pictures + PNG (%.1f MiB)\n", "", "",
                "open BMP -> blur -> PNG", toPng / kMiB, (toPng - fixed) / (2 * bytes + compressed),
                compressed / kMiB);
    std::filesystem::remove(png);
    std::filesystem::remove(dir / "rss.bmp");
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  std::vector<Size> sizes = {{1224, 816}, {6000, 4000}};
  std::vector<std::string> only;
  int repetitions = 0;  // by default 20 under 4 megapixels (where a time slice lost to another
                        // process outweighs the work), 5 from there on
  bool rss = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--sizes" && i + 1 < argc) {
      sizes.clear();
      for (const std::string& s : Split(argv[++i])) {
        Size size{};
        if (!ParseSize(s, size)) {
          std::fprintf(stderr, "bad size %s\n", s.c_str());
          return 2;
        }
        sizes.push_back(size);
      }
    } else if (a == "--reps" && i + 1 < argc) {
      repetitions = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--only" && i + 1 < argc) {
      only = Split(argv[++i]);
    } else if (a == "--no-rss") {
      rss = false;
    } else {
      std::fprintf(stderr,
                   "usage: lumivane-phases-bench [--sizes 1,24,100|WxH,...] [--reps N] "
                   "[--only PHASE,...] [--no-rss]\n");
      return 2;
    }
  }
  const TempDir dir;
  WriteInputsAndMeasurePeaks(sizes, rss, dir);
  for (const Size size : sizes) {
    const bool small = std::int64_t{size.width} * size.height < 4'000'000;
    BenchSize(size, repetitions != 0 ? repetitions : small ? 20 : 5, only, dir);
  }
  rusage self{};
  ::getrusage(RUSAGE_SELF, &self);
  std::printf("\npeak RSS of this benchmark process: %.1f MiB\n", self.ru_maxrss / 1024.0);
  return 0;
}
