#include "crc32.h"

namespace {

inline std::uint32_t Step(std::uint32_t c, std::uint8_t b) {
  return CrcTable[(c ^ b) & 0xFF] ^ (c >> 8);
}

}  // namespace

std::uint32_t UpdateCrc32(std::uint32_t crc, const void* buffer, std::size_t length) {
  if (buffer == nullptr) return 0;
  const auto* p = static_cast<const std::uint8_t*>(buffer);
  std::uint32_t c = crc ^ 0xFFFFFFFFu;
  while (length >= 8) {
    c = Step(c, p[0]);
    c = Step(c, p[1]);
    c = Step(c, p[2]);
    c = Step(c, p[3]);
    c = Step(c, p[4]);
    c = Step(c, p[5]);
    c = Step(c, p[6]);
    c = Step(c, p[7]);
    p += 8;
    length -= 8;
  }
  while (length-- > 0) c = Step(c, *p++);
  return c ^ 0xFFFFFFFFu;
}
