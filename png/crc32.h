// The CRC-32 of PNG chunks and the big-endian byte order of the file's numbers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace crc_detail {
constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}
}  // namespace crc_detail

// Entry n: the register after shifting byte n through the reflected polynomial 0xEDB88320.
// Computed by the compiler, so it lives in read-only static data. UpdateCrc32 computes the same
// CRC through zlib, several bytes at a time.
inline constexpr std::array<std::uint32_t, 256> CrcTable = crc_detail::MakeCrcTable();

// Continues crc over length bytes of buffer. A null buffer gives 0, whatever the other
// arguments: that is how a new CRC is started. Pieces may be fed in any number of calls.
std::uint32_t UpdateCrc32(std::uint32_t crc, const void* buffer, std::size_t length);

// The four bytes of value in reverse order: stored in memory on this little-endian host it
// gives the big-endian form the file wants.
constexpr std::uint32_t SwapBytes32(std::uint32_t value) {
  return (value >> 24) | ((value >> 8) & 0x0000FF00u) | ((value << 8) & 0x00FF0000u) |
         (value << 24);
}
