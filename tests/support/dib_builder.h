// Bitmap headers written byte by byte: packed device-independent bitmaps as a scanner source
// hands them over, and bitmap files (a file header before the same bytes).
#pragma once

#include <cstdint>
#include <vector>

// The little-endian 32-bit value at byte `at`, and the same written there.
inline std::uint32_t GetU32(const std::vector<std::uint8_t>& d, std::size_t at) {
  return d[at] | (d[at + 1] << 8) | (d[at + 2] << 16) |
         (static_cast<std::uint32_t>(d[at + 3]) << 24);
}
inline void PutU32(std::vector<std::uint8_t>& d, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) d[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

class DibBuilder {
 public:
  DibBuilder& U16(std::uint32_t v) {
    bytes.push_back(static_cast<std::uint8_t>(v));
    bytes.push_back(static_cast<std::uint8_t>(v >> 8));
    return *this;
  }
  DibBuilder& U32(std::uint32_t v) { return U16(v & 0xFFFF).U16(v >> 16); }
  DibBuilder& Bytes(std::initializer_list<std::uint8_t> list) {
    bytes.insert(bytes.end(), list);
    return *this;
  }
  DibBuilder& Repeat(std::uint8_t value, std::size_t count) {
    bytes.insert(bytes.end(), count, value);
    return *this;
  }
  // A 40-byte information header.
  DibBuilder& InfoHeader(std::int32_t width, std::int32_t height, int bitCount,
                         std::uint32_t compression = 0, std::uint32_t coloursUsed = 0) {
    return U32(40)
        .U32(static_cast<std::uint32_t>(width))
        .U32(static_cast<std::uint32_t>(height))
        .U16(1)
        .U16(static_cast<std::uint32_t>(bitCount))
        .U32(compression)
        .U32(0)
        .U32(0)
        .U32(0)
        .U32(coloursUsed)
        .U32(0);
  }
  // A 12-byte core header.
  DibBuilder& CoreHeader(std::uint16_t width, std::uint16_t height, int bitCount) {
    return U32(12).U16(width).U16(height).U16(1).U16(static_cast<std::uint32_t>(bitCount));
  }

  std::vector<std::uint8_t> bytes;
};

// The bitmap file of a packed bitmap whose pixels start `rowsStart` bytes into it: the 14-byte
// file header, then the packed bitmap.
inline std::vector<std::uint8_t> BitmapFile(const std::vector<std::uint8_t>& dib,
                                            std::uint32_t rowsStart) {
  DibBuilder file;
  file.Bytes({'B', 'M'})
      .U32(static_cast<std::uint32_t>(14 + dib.size()))
      .U32(0)
      .U32(14 + rowsStart);
  file.bytes.insert(file.bytes.end(), dib.begin(), dib.end());
  return file.bytes;
}

// A bottom-up 24-bit image whose pixel (x, y), y counted from the top, is (x, y, tag).
inline std::vector<std::uint8_t> Dib24(int width, int height, std::uint8_t tag) {
  DibBuilder dib;
  dib.InfoHeader(width, height, 24);
  const int padding = (4 - (width * 3) % 4) % 4;
  for (int row = height - 1; row >= 0; --row) {
    for (int x = 0; x < width; ++x)
      dib.Bytes({static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(row), tag});
    dib.Repeat(0, static_cast<std::size_t>(padding));
  }
  return dib.bytes;
}
