// The texts of an identity: at most 33 bytes of UTF-8 in a 34-byte field.
#pragma once

#include <string>

#include "twain/twain.h"

namespace scanner {

inline constexpr std::size_t kIdentityTextBytes = sizeof(TW_STR32::text) - 1;

// text cut to kIdentityTextBytes without splitting a UTF-8 character, zero-filled after it.
void SetText(TW_STR32& field, const std::string& text);
std::string TextOf(const TW_STR32& field);

}  // namespace scanner
