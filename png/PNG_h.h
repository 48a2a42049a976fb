// The fixed parts of a PNG file: signature, chunk types and the IHDR chunk data.
#pragma once

#include <array>
#include <cstdint>

using ChunkType = std::array<std::uint8_t, 4>;

inline constexpr std::array<std::uint8_t, 8> PngSignature = {0x89, 0x50, 0x4E, 0x47,
                                                             0x0D, 0x0A, 0x1A, 0x0A};
inline constexpr ChunkType ChunkTypeIHDR = {'I', 'H', 'D', 'R'};
inline constexpr ChunkType ChunkTypeIDAT = {'I', 'D', 'A', 'T'};
inline constexpr ChunkType ChunkTypeIEND = {'I', 'E', 'N', 'D'};

// The 13 bytes of IHDR exactly as they stand in the file; the 32-bit fields hold big-endian
// values (pass them through SwapBytes32).
#pragma pack(push, 1)
struct IhdrData {
  std::uint32_t width;
  std::uint32_t height;
  std::uint8_t bitDepth;
  std::uint8_t colourType;
  std::uint8_t compressionMethod;
  std::uint8_t filterMethod;
  std::uint8_t interlaceMethod;
};
#pragma pack(pop)
static_assert(sizeof(IhdrData) == 13, "IHDR data is 13 bytes without padding");

inline constexpr std::uint8_t kBitDepth8 = 8;
inline constexpr std::uint8_t kColourTypeTruecolour = 2;  // red, green, blue
