#include "test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

ScratchDir::ScratchDir() : ScratchDir(std::filesystem::temp_directory_path()) {}

ScratchDir::ScratchDir(const std::filesystem::path& base) {
  static std::atomic<int> counter{0};
  path_ = base / ("lumivane-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

HBITMAP MakePicture(int width, int height, const std::function<Bgr(int x, int y)>& colour) {
  auto object = std::make_unique<BitmapObject>(width, height, PixelFormat::pf24bit,
                                               BitmapObject::Fill::kNone);
  std::memset(object->Bits(), 0, object->SizeBytes());
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = object->Row(y);
    for (int x = 0; x < width; ++x) {
      const Bgr c = colour(x, y);
      row[3 * x] = c[0];
      row[3 * x + 1] = c[1];
      row[3 * x + 2] = c[2];
    }
  }
  return HBITMAP(std::move(object));
}

HBITMAP MakeFlatPicture(int width, int height, Bgr colour) {
  return MakePicture(width, height, [colour](int, int) { return colour; });
}

std::vector<Bgr> PixelsOf(const BitmapObject& object) {
  std::vector<Bgr> out;
  out.reserve(static_cast<std::size_t>(object.Width()) * object.Height());
  for (int y = 0; y < object.Height(); ++y)
    for (int x = 0; x < object.Width(); ++x) out.push_back(PixelColour(object, x, y));
  return out;
}

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

int RunShell(const std::string& command, std::string* output) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return -1;
  std::string text;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  const int status = ::pclose(pipe);
  if (output) *output = std::move(text);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string BatchToolPath() {
  if (const char* path = std::getenv("LUMIVANE_BATCH")) return path;
#ifdef LUMIVANE_BATCH_PATH
  return LUMIVANE_BATCH_PATH;
#else
  return "lumivane-batch";
#endif
}

bool HaveProgram(const std::string& name) {
  return RunShell("command -v " + ShellQuote(name) + " >/dev/null 2>&1") == 0;
}

std::string ShellQuote(const std::string& word) {
  std::string out = "'";
  for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

Rgb24Image ReadPnm(const std::string& path) {
  const std::vector<std::uint8_t> bytes = ReadBytes(path);
  std::size_t at = 0;
  auto token = [&] {
    std::string word;
    while (at < bytes.size()) {
      const char c = static_cast<char>(bytes[at]);
      if (c == '#') {
        while (at < bytes.size() && bytes[at] != '\n') ++at;
      } else if (std::isspace(static_cast<unsigned char>(c))) {
        ++at;
        if (!word.empty()) break;
      } else {
        word += c;
        ++at;
      }
    }
    return word;
  };
  Rgb24Image image;
  const std::string kind = token();
  if (kind != "P4" && kind != "P5" && kind != "P6") {
    ADD_FAILURE() << path << " is not a binary PBM, PGM or PPM";
    return image;
  }
  image.width = std::stoi(token());
  image.height = std::stoi(token());
  const int maxval = kind == "P4" ? 1 : std::stoi(token());
  const std::size_t channels = kind == "P6" ? 3 : 1;
  const std::size_t sampleBytes = maxval > 255 ? 2 : 1;
  const std::size_t rowBytes = kind == "P4" ? (static_cast<std::size_t>(image.width) + 7) / 8
                                            : image.width * channels * sampleBytes;
  if (bytes.size() - at < rowBytes * image.height) {
    ADD_FAILURE() << path << " is truncated";
    return image;
  }
  for (int y = 0; y < image.height; ++y) {
    const std::uint8_t* row = bytes.data() + at + rowBytes * y;
    for (int x = 0; x < image.width; ++x) {
      if (kind == "P4") {
        const std::uint8_t v = (row[x / 8] >> (7 - x % 8)) & 1 ? 0 : 255;
        image.pixels.push_back({v, v, v});
        continue;
      }
      std::array<std::uint8_t, 3> rgb{};
      for (std::size_t c = 0; c < channels; ++c) {
        const std::size_t i = (x * channels + c) * sampleBytes;
        rgb[c] = sampleBytes == 1
                     ? row[i]
                     : static_cast<std::uint8_t>(std::lround((row[i] * 256 + row[i + 1]) / 257.0));
      }
      if (channels == 1) rgb[1] = rgb[2] = rgb[0];
      image.pixels.push_back({rgb[2], rgb[1], rgb[0]});
    }
  }
  return image;
}

HBITMAP NoisePicture(int width, int height, std::uint32_t seed) {
  return MakePicture(width, height, [seed](int x, int y) {
    std::uint32_t h = seed ^ (static_cast<std::uint32_t>(x) * 2654435761u) ^
                      (static_cast<std::uint32_t>(y) * 40503u);
    h ^= h >> 15;
    h *= 2246822519u;
    h ^= h >> 13;
    return Bgr{static_cast<std::uint8_t>(h), static_cast<std::uint8_t>(h >> 8),
               static_cast<std::uint8_t>(h >> 16)};
  });
}

std::vector<std::uint8_t> RandomBytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  return bytes;
}

std::uint32_t ZlibCrc(const void* data, std::size_t n, std::uint32_t crc) {
  if (n == 0) return crc;  // a null buffer would restart the CRC
  return static_cast<std::uint32_t>(
      crc32(crc, static_cast<const Bytef*>(data), static_cast<uInt>(n)));
}

std::string CharacterDevice(const ScratchDir& dir, const char* name, unsigned minor) {
  const std::string path = dir / name;
  if (::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, minor)) == 0) return path;
  return std::string("/dev/") + name;
}

std::string DrawPhotos(const std::vector<Photo>& photos, const std::string& ppm) {
  std::string draw = "convert -size 800x800 xc:'#101010'";
  for (const Photo& p : photos) {
    char photo[160];
    std::snprintf(photo, sizeof photo,
                  " -fill 'rgb(%d,%d,%d)' -draw 'translate %d,%d rotate %g rectangle %d,%d %d,%d'",
                  p.red, p.green, p.blue, p.x, p.y, p.degrees, -p.width / 2, -p.height / 2,
                  p.width / 2, p.height / 2);
    draw += photo;
  }
  return draw + " -depth 8 ppm:" + ShellQuote(ppm);
}

int Farthest(const std::vector<Bgr>& pixels, Bgr colour) {
  int farthest = 0;
  for (const Bgr& pixel : pixels)
    for (std::size_t k = 0; k < 3; ++k)
      farthest = std::max(farthest, std::abs(pixel[k] - colour[k]));
  return farthest;
}
