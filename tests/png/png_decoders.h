// Independent readers of what the PNG writer produces: libpng, zlib and pngcheck.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/bitmap.h"
#include "support/test_support.h"

// A PNG decoded by libpng to 8-bit RGB, pixels as blue, green, red for comparison with
// PixelsOf. Empty optional (with a test failure) when libpng refuses the file.
struct DecodedPng {
  int width = 0;
  int height = 0;
  std::vector<Bgr> pixels;
};
std::optional<DecodedPng> DecodeWithLibpng(const std::vector<std::uint8_t>& file);

// The scanline data the compressor must be fed for a 24-bit picture: per row the filter byte
// 0, then red, green, blue per pixel. Built naively from PixelColour.
std::vector<std::uint8_t> ExpectedScanlines(const BitmapObject& picture);

// Inflates a whole zlib stream; empty optional when zlib finds it corrupt, truncated, or
// followed by stray bytes.
std::optional<std::vector<std::uint8_t>> Inflate(const std::uint8_t* data, std::size_t size);

// The chunks of a PNG file in order, each as type and data; stops at the first malformed one.
struct Chunk {
  std::string type;
  std::vector<std::uint8_t> data;
  std::uint32_t storedCrc = 0;
};
std::vector<Chunk> SplitChunks(const std::vector<std::uint8_t>& file);

// Big-endian 32-bit number at data[offset].
std::uint32_t ReadBigEndian32(const std::uint8_t* data);

// pngcheck's verdict on a file: true when it reports no error; output receives its report.
bool PngcheckAccepts(const std::string& path, std::string* output);
