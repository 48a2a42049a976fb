// The benchmark picture: smooth gradients with a little noise, like a photograph. Both sides of
// a comparison work on these same pixels.
#pragma once

#include <cstdint>

struct PhotoPixel {
  std::uint8_t blue, green, red;
};

inline PhotoPixel PhotoColour(std::uint32_t x, std::uint32_t y, std::uint32_t width,
                              std::uint32_t height) {
  const std::uint32_t noise = ((x * 73856093u) ^ (y * 19349663u)) >> 27;  // 0..31
  return {static_cast<std::uint8_t>((x * 180 / width + y * 40 / height + noise) & 255),
          static_cast<std::uint8_t>((y * 200 / height + noise) & 255),
          static_cast<std::uint8_t>(((x + y) * 120 / (width + height) + 100 + noise) & 255)};
}
