// An integer conversion that checks that the value fits.
// CheckedCast<T>(v) is for numbers that come from outside (a file's header, a device, a size
// multiplied out of those): a value T cannot hold throws EOutOfResources with the program's
// "image too large" message, as the bitmap's own size check does. Where the value provably fits
// (a clamped byte, an index below a small bound) a static_cast with the reason next to it is
// enough; no check belongs inside a per-pixel loop.
#pragma once

#include <concepts>
#include <utility>

#include "errors.h"
#include "messages.h"

template <std::integral To, std::integral From>
constexpr To CheckedCast(From value) {
  if (!std::in_range<To>(value)) throw EOutOfResources(msg::kImageTooLarge);
  return static_cast<To>(value);
}
