// The layout of a device-independent bitmap and the size limit of a picture: what the bitmap
// file writer and the scanner manager's packed bitmaps write alike. Header only: the manager
// links nothing of this library.
#pragma once

#include <cstddef>
#include <cstdint>

// Largest pixel store of one picture. Anything larger is refused before allocation; it also
// bounds the bytes of one scan, whatever a backend announces. Fuzzing builds lower it, so that
// every input runs in a few milliseconds and megabytes.
#ifdef LUMIVANE_FUZZING
inline constexpr std::int64_t kMaxBitmapBytes = 4 << 20;
#else
inline constexpr std::int64_t kMaxBitmapBytes = 0x7FFFFFFF;
#endif

// Bytes of one row: whole 32-bit words.
constexpr std::int64_t RowStride(std::int64_t width, int bitsPerPixel) {
  return ((width * bitsPerPixel + 31) / 32) * 4;
}

// value in the bytes little-endian bytes from at.
inline void PutLittleEndian(std::uint8_t* at, std::uint32_t value, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The value in the bytes little-endian bytes from at.
inline std::uint32_t GetLittleEndian(const std::uint8_t* at, std::size_t bytes) {
  std::uint32_t value = 0;
  for (std::size_t i = bytes; i-- > 0;) value = value << 8 | at[i];
  return value;
}

// The information header: its fields, written as the 40 bytes that begin a packed bitmap (after
// a file's 14-byte file header). The rows of a positive height are bottom-up.
inline constexpr std::uint32_t kInfoHeaderSize = 40;
struct InfoHeader {
  std::uint32_t width = 0, height = 0;
  std::uint16_t bitCount = 24;
  std::uint32_t compression = 0;
  std::uint32_t imageSize = 0;
  std::uint32_t pixelsPerMetre = 0;  // both directions
  std::uint32_t coloursUsed = 0;
};
inline void PutInfoHeader(std::uint8_t* at, const InfoHeader& h) {
  PutLittleEndian(at, kInfoHeaderSize, 4);
  PutLittleEndian(at + 4, h.width, 4);
  PutLittleEndian(at + 8, h.height, 4);
  PutLittleEndian(at + 12, 1, 2);  // planes
  PutLittleEndian(at + 14, h.bitCount, 2);
  PutLittleEndian(at + 16, h.compression, 4);
  PutLittleEndian(at + 20, h.imageSize, 4);
  PutLittleEndian(at + 24, h.pixelsPerMetre, 4);
  PutLittleEndian(at + 28, h.pixelsPerMetre, 4);
  PutLittleEndian(at + 32, h.coloursUsed, 4);
  PutLittleEndian(at + 36, 0, 4);  // colours important: all
}
