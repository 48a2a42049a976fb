#include "png/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <vector>

#include "png/PNG_h.h"
#include "support/test_support.h"

TEST(CrcTable, HoldsTheStandardEntries) {
  EXPECT_EQ(CrcTable[0], 0u);
  EXPECT_EQ(CrcTable[1], 0x77073096u);
  EXPECT_EQ(CrcTable[255], 0x2D02EF8Du);
  // The whole table against zlib's: the CRC of one byte b from a zero register is entry b
  // folded through the final XOR.
  for (unsigned b = 0; b < 256; ++b) {
    const std::uint8_t byte = static_cast<std::uint8_t>(b);
    EXPECT_EQ(UpdateCrc32(0, &byte, 1), ZlibCrc(&byte, 1)) << b;
  }
}

TEST(UpdateCrc32, ANullBufferStartsAfresh) {
  const std::uint8_t byte = 7;
  EXPECT_EQ(UpdateCrc32(0, nullptr, 0), 0u);
  EXPECT_EQ(UpdateCrc32(0xDEADBEEF, nullptr, 0), 0u);
  EXPECT_EQ(UpdateCrc32(0xDEADBEEF, nullptr, 100), 0u);
  EXPECT_EQ(UpdateCrc32(0x12345678, &byte, 0), 0x12345678u);
}

TEST(UpdateCrc32, MatchesZlibForEveryLengthAroundTheEightByteGroups) {
  const auto data = RandomBytes(70, 1);
  for (std::size_t n = 0; n <= data.size(); ++n)
    EXPECT_EQ(UpdateCrc32(UpdateCrc32(0, nullptr, 0), data.data(), n), ZlibCrc(data.data(), n))
        << n;
}

TEST(UpdateCrc32, ContinuesAcrossPieces) {
  const auto data = RandomBytes(1000, 2);
  const std::uint32_t whole = ZlibCrc(data.data(), data.size());
  for (std::size_t cut1 : {0u, 1u, 7u, 8u, 9u, 333u}) {
    for (std::size_t cut2 : {cut1, cut1 + 5, cut1 + 16, std::size_t{999}, std::size_t{1000}}) {
      std::uint32_t crc = UpdateCrc32(0, nullptr, 0);
      crc = UpdateCrc32(crc, data.data(), cut1);
      crc = UpdateCrc32(crc, data.data() + cut1, cut2 - cut1);
      crc = UpdateCrc32(crc, data.data() + cut2, data.size() - cut2);
      EXPECT_EQ(crc, whole) << cut1 << " " << cut2;
    }
  }
}

TEST(UpdateCrc32, IendGivesTheWellKnownBytes) {
  const std::uint32_t crc =
      SwapBytes32(UpdateCrc32(UpdateCrc32(0, nullptr, 0), ChunkTypeIEND.data(), 4));
  std::uint8_t stored[4];
  std::memcpy(stored, &crc, 4);
  EXPECT_EQ(stored[0], 0xAE);
  EXPECT_EQ(stored[1], 0x42);
  EXPECT_EQ(stored[2], 0x60);
  EXPECT_EQ(stored[3], 0x82);
}

TEST(SwapBytes32, ReversesTheBytes) {
  EXPECT_EQ(SwapBytes32(0x12345678u), 0x78563412u);
  EXPECT_EQ(SwapBytes32(13u), 0x0D000000u);
  EXPECT_EQ(SwapBytes32(0xFF000001u), 0x010000FFu);
  EXPECT_EQ(SwapBytes32(SwapBytes32(0xCAFEF00Du)), 0xCAFEF00Du);
}

TEST(PngConstants, AreTheStandardBytes) {
  const std::uint8_t signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  EXPECT_EQ(std::memcmp(PngSignature.data(), signature, 8), 0);
  EXPECT_EQ(std::memcmp(ChunkTypeIHDR.data(), "IHDR", 4), 0);
  EXPECT_EQ(std::memcmp(ChunkTypeIDAT.data(), "IDAT", 4), 0);
  EXPECT_EQ(std::memcmp(ChunkTypeIEND.data(), "IEND", 4), 0);
  EXPECT_EQ(offsetof(IhdrData, bitDepth), 8u);
  EXPECT_EQ(offsetof(IhdrData, interlaceMethod), 12u);
}
