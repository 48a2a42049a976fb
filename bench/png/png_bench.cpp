// png_bench [--reps N] [--size WxH] [--write-bmp PATH]
//
// Encodes one photo-like picture (6000 x 4000 by default) as PNG with our writer, with libpng
// at the same settings (zlib level 6, filter None) and, as the floor, with zlib alone
// compressing the same scanline data at level 6. The three run interleaved in one process;
// the minimum and the median of the repetitions and the ratios of the minimums are printed
// (the minimum is the run least disturbed by the rest of the machine). --write-bmp also saves the
// picture as a bitmap file, as input for measuring lumivane-batch.
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/stats.h"
#include "platform/errors.h"
#include "platform/picture_files.h"
#include "png/png_writer.h"

namespace {

using Clock = std::chrono::steady_clock;

// Smooth gradients and soft edges with a little sensor noise: compresses like a photograph
// under filter None (to roughly two thirds), unlike flat test patterns.
HBITMAP PhotoLikePicture(int width, int height) {
  auto object = std::make_unique<BitmapObject>(width, height, PixelFormat::pf24bit,
                                               BitmapObject::Fill::kNone);
  std::vector<float> wx(width), wy(height);
  for (int x = 0; x < width; ++x)
    wx[x] = 50.0f * std::sin(x / 211.0f) + 20.0f * std::sin(x / 37.0f);
  for (int y = 0; y < height; ++y)
    wy[y] = 45.0f * std::cos(y / 173.0f) + 15.0f * std::sin(y / 29.0f);
  std::uint32_t state = 12345;
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = object->Row(y);
    const bool sky = y < height / 3;
    for (int x = 0; x < width; ++x) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      const int noise = static_cast<int>(state & 15) - 7;
      const int base = 128 + static_cast<int>(wx[x] + wy[y]) + noise;
      const int edge = ((x / 400 + y / 300) & 1) ? 18 : -18;
      auto clamp = [](int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); };
      row[3 * x] = clamp(sky ? base + 60 : base + edge);           // blue
      row[3 * x + 1] = clamp(base + edge / 2 + (x * 40) / width);  // green
      row[3 * x + 2] = clamp(sky ? base - 30 : base + 25 - edge);  // red
    }
  }
  return HBITMAP(std::move(object));
}

std::size_t EncodeOurs(const TBitmap& picture) {
  return EncodePng(picture).size();
}

std::size_t EncodeLibpng(const TBitmap& picture) {
  std::vector<std::uint8_t> out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fprintf(stderr, "libpng failed\n");
    std::exit(1);
  }
  png_set_write_fn(
      png, &out,
      [](png_structp p, png_bytep data, png_size_t n) {
        auto* v = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(p));
        v->insert(v->end(), data, data + n);
      },
      nullptr);
  png_set_IHDR(png, info, static_cast<png_uint_32>(picture.Width()),
               static_cast<png_uint_32>(picture.Height()), 8, PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, 6);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
  png_write_info(png, info);
  png_set_bgr(png);  // the bitmap holds blue, green, red
  for (int y = 0; y < picture.Height(); ++y)
    png_write_row(png, const_cast<png_bytep>(picture.RowAt(y)));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out.size();
}

std::vector<std::uint8_t> Scanlines(const TBitmap& picture) {
  std::vector<std::uint8_t> data;
  data.reserve(static_cast<std::size_t>(picture.Height()) * (1 + 3 * picture.Width()));
  for (int y = 0; y < picture.Height(); ++y) {
    const std::uint8_t* row = picture.RowAt(y);
    data.push_back(0);
    for (int x = 0; x < picture.Width(); ++x)
      data.insert(data.end(), {row[3 * x + 2], row[3 * x + 1], row[3 * x]});
  }
  return data;
}

std::size_t CompressZlib(const std::vector<std::uint8_t>& scanlines,
                         std::vector<std::uint8_t>& out) {
  uLongf size = static_cast<uLongf>(out.size());
  if (compress2(out.data(), &size, scanlines.data(), static_cast<uLong>(scanlines.size()), 6) !=
      Z_OK) {
    std::fprintf(stderr, "compress2 failed\n");
    std::exit(1);
  }
  return size;
}

template <typename F>
double Seconds(F&& f, std::size_t& size) {
  const auto start = Clock::now();
  size = f();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char* argv[]) {
  int reps = 5, width = 6000, height = 4000;
  std::string bmpPath;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--reps" && i + 1 < argc) {
      reps = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--size" && i + 1 < argc) {
      if (std::sscanf(argv[++i], "%dx%d", &width, &height) != 2 || width <= 0 || height <= 0) {
        std::fprintf(stderr, "bad --size\n");
        return 2;
      }
    } else if (a == "--write-bmp" && i + 1 < argc) {
      bmpPath = argv[++i];
    } else {
      std::fprintf(stderr, "usage: png_bench [--reps N] [--size WxH] [--write-bmp PATH]\n");
      return 2;
    }
  }

  TBitmap picture;
  picture.AdoptHandle(PhotoLikePicture(width, height));
  if (!bmpPath.empty() && !RunGuarded([&] { SaveBitmapFile(picture, bmpPath); })) return 1;
  const std::vector<std::uint8_t> scanlines = Scanlines(picture);
  std::vector<std::uint8_t> zout(compressBound(static_cast<uLong>(scanlines.size())));

  std::vector<double> ours, libpng, floor;
  std::size_t oursSize = 0, libpngSize = 0, zlibSize = 0;
  for (int r = 0; r < reps; ++r) {
    ours.push_back(Seconds([&] { return EncodeOurs(picture); }, oursSize));
    libpng.push_back(Seconds([&] { return EncodeLibpng(picture); }, libpngSize));
    floor.push_back(Seconds([&] { return CompressZlib(scanlines, zout); }, zlibSize));
  }
  const auto minimum = [](const std::vector<double>& v) {
    return *std::min_element(v.begin(), v.end());
  };
  const double o = minimum(ours), l = minimum(libpng), z = minimum(floor);
  std::printf("picture %dx%d, %zu bytes of scanlines, %d repetitions, minimum and median:\n", width,
              height, scanlines.size(), reps);
  std::printf("  ours    %8.3f s %8.3f s  %10zu bytes\n", o, Median(ours), oursSize);
  std::printf("  libpng  %8.3f s %8.3f s  %10zu bytes\n", l, Median(libpng), libpngSize);
  std::printf("  zlib    %8.3f s %8.3f s  %10zu bytes (compress2 level 6, no PNG framing)\n", z,
              Median(floor), zlibSize);
  std::printf("ratio ours/libpng %.3f  (target <= 1.10)\n", o / l);
  std::printf("ratio ours/zlib   %.3f  (target <= 1.05)\n", o / z);
  return 0;
}
