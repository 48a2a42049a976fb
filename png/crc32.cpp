#include "crc32.h"

#include <zlib.h>

std::uint32_t UpdateCrc32(std::uint32_t crc, const void* buffer, std::size_t length) {
  if (buffer == nullptr) return 0;
  // zlib's CRC reads several bytes per step with tables of its own and takes a length of any
  // size; it keeps the same register convention as ours, so pieces chain alike.
  return static_cast<std::uint32_t>(crc32_z(crc, static_cast<const Bytef*>(buffer), length));
}
