// The texts of an identity's fields (TW_STR32): at most 33 bytes of UTF-8 before the terminating
// zero. Header only: the binding and the scanner manager, which shares no code with it, both
// read and write identities.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "twain/twain.h"

// Text bytes a field holds before its terminating zero.
inline constexpr std::size_t kStr32TextBytes = sizeof(TW_STR32::text) - 1;
// A text cut to the field at a character boundary falls short of kStr32TextBytes by the bytes of
// the UTF-8 character cut off: three at most.
inline constexpr std::size_t kStr32CutShortBy = 3;

// text cut to kStr32TextBytes without splitting a UTF-8 character, zero-filled after it.
inline void SetStr32Text(TW_STR32& field, std::string_view text) {
  std::size_t length = std::min(text.size(), kStr32TextBytes);
  // Back off over continuation bytes (10xxxxxx) to the start of the character cut through.
  if (length < text.size())
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  std::memset(field.text, 0, sizeof field.text);
  std::memcpy(field.text, text.data(), length);
}

// The text of a field: up to its terminating zero, never past the field.
inline std::string Str32Text(const TW_STR32& field) {
  return std::string(field.text, ::strnlen(field.text, sizeof field.text));
}
