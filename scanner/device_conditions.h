// The texts of the scan dialog for a device's conditions, by the condition code that the
// manager gives a transfer that failed without the dialog. The dialog and the command-line
// tool say the same.
#pragma once

#include "scanner/messages.h"
#include "twain/twain.h"

namespace scanner {

// Conditions of this manager's own, beyond the protocol's.
// The scanner did not answer in time, or the process that drives it died.
inline constexpr TW_UINT16 kConditionNoResponse = TWCC_CUSTOMBASE + 1;
// The scan ended before its first line.
inline constexpr TW_UINT16 kConditionNoImageData = TWCC_CUSTOMBASE + 2;
// SANE's library (libsane.so.1) cannot be loaded: no scanner can be found.
inline constexpr TW_UINT16 kConditionNoSaneLibrary = TWCC_CUSTOMBASE + 3;
// The device refused a value of its settings, or something it cannot do, during the scan.
inline constexpr TW_UINT16 kConditionInvalidValue = TWCC_CUSTOMBASE + 4;
inline constexpr TW_UINT16 kConditionUnsupported = TWCC_CUSTOMBASE + 5;

// Null for a code that is no condition of the device.
inline const char* DeviceConditionText(TW_UINT16 condition) {
  switch (condition) {
    case TWCC_MAXCONNECTIONS:
      return kDeviceBusy;
    case TWCC_PAPERJAM:
      return kPaperJam;
    case TWCC_NOMEDIA:
      return kNoDocuments;
    case TWCC_INTERLOCK:
      return kCoverOpen;
    case TWCC_CHECKDEVICEONLINE:
      return kIoError;
    case TWCC_LOWMEMORY:
      return kOutOfMemory;
    case TWCC_DENIED:
      return kAccessDenied;
    case TWCC_BUMMER:
      return kDeviceError;
    case kConditionNoResponse:
      return kNotResponding;
    case kConditionNoImageData:
      return kNoImageData;
    case kConditionNoSaneLibrary:
      return kNoSaneLibrary;
    case kConditionInvalidValue:
      return kInvalidValue;
    case kConditionUnsupported:
      return kUnsupported;
    default:
      return nullptr;
  }
}

}  // namespace scanner
