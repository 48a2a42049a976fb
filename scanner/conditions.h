// The conditions this manager reports beyond the protocol's own, for the programs that acquire
// through it (the batch tool prints their texts).
#pragma once

#include "twain/twain.h"

namespace scanner {

// The scanner did not answer in time, or the process that drives it died.
inline constexpr TW_UINT16 kConditionNoResponse = TWCC_CUSTOMBASE + 1;
// The scan ended before its first line.
inline constexpr TW_UINT16 kConditionNoImageData = TWCC_CUSTOMBASE + 2;
// SANE's library (libsane.so.1) cannot be loaded: no scanner can be found.
inline constexpr TW_UINT16 kConditionNoSaneLibrary = TWCC_CUSTOMBASE + 3;

}  // namespace scanner
