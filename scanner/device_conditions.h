// The texts of the scan dialog for a device's conditions, by the condition code that the
// manager gives a transfer that failed without the dialog. The dialog and the command-line
// tool say the same.
#pragma once

#include "scanner/messages.h"
#include "twain/twain.h"

namespace scanner {

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
    default:
      return nullptr;
  }
}

}  // namespace scanner
