// Helpers shared by the tests.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/bitmap.h"

// A fresh folder for one test, removed with everything in it at the end.
class ScratchDir {
 public:
  ScratchDir();
  // In another folder than the system's temporary one (to be on another file system).
  explicit ScratchDir(const std::filesystem::path& base);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

using Bgr = std::array<std::uint8_t, 3>;  // blue, green, red

// A 24-bit bitmap object whose pixel (x, y) is colour(x, y); the row padding is left zero.
HBITMAP MakePicture(int width, int height, const std::function<Bgr(int x, int y)>& colour);
// A bitmap object of one colour.
HBITMAP MakeFlatPicture(int width, int height, Bgr colour);
// A picture of pseudo-random colours, which deflate cannot shrink much.
HBITMAP NoisePicture(int width, int height, std::uint32_t seed);
// n pseudo-random bytes.
std::vector<std::uint8_t> RandomBytes(std::size_t n, std::uint32_t seed);
// The CRC-32 of n bytes as zlib computes it, continuing from crc (0 to start).
std::uint32_t ZlibCrc(const void* data, std::size_t n, std::uint32_t crc = 0);
// Every pixel of a bitmap object as blue, green, red, row by row from the top.
std::vector<Bgr> PixelsOf(const BitmapObject& object);

std::vector<std::uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);

// Runs a shell command; returns its exit status, and what it printed on standard output.
int RunShell(const std::string& command, std::string* output = nullptr);
// The lumivane-batch under test: $LUMIVANE_BATCH, or the one this build made.
std::string BatchToolPath();
// Whether a program is on the PATH.
bool HaveProgram(const std::string& name);
// Quotes a word for the shell.
std::string ShellQuote(const std::string& word);

// Whether this build runs under AddressSanitizer, whose shadow memory needs far more address
// space than an address-space limit for the program itself leaves.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#else
inline constexpr bool kAddressSanitizer = false;
#endif
// A character device node (major 1: 3 null, 7 full) of our own in dir where we may make one,
// else the system's: a faulty save then cannot turn the system's device into a plain file.
std::string CharacterDevice(const ScratchDir& dir, const char* name, unsigned minor);

// A picture read from a file of the portable formats, as rows of blue, green, red.
struct Rgb24Image {
  int width = 0;
  int height = 0;
  std::vector<Bgr> pixels;
};
// Reads a binary PBM (P4, a set bit is black), PGM (P5) or PPM (P6); samples of 16 bits are
// rounded to 8.
Rgb24Image ReadPnm(const std::string& path);

// Photos laid on a dark glass of 800 x 800 pixels, each of one colour (red, green, blue), its
// size and angle about its centre: ImageMagick's command that draws them into a binary PPM file.
struct Photo {
  int red, green, blue, width, height, x, y;
  double degrees;
};
std::string DrawPhotos(const std::vector<Photo>& photos, const std::string& ppm);
// How far the farthest sample of any pixel lies from colour's (blue, green, red).
int Farthest(const std::vector<Bgr>& pixels, Bgr colour);
