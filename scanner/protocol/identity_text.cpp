#include "identity_text.h"

#include <algorithm>
#include <cstring>

namespace scanner {

void SetText(TW_STR32& field, const std::string& text) {
  std::size_t length = std::min(text.size(), kIdentityTextBytes);
  // Back off over continuation bytes (10xxxxxx) to the start of the character cut through.
  if (length < text.size())
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  std::memset(field.text, 0, sizeof field.text);
  std::memcpy(field.text, text.data(), length);
}

std::string TextOf(const TW_STR32& field) {
  return std::string(field.text, strnlen(field.text, sizeof field.text));
}

}  // namespace scanner
