// The texts of the scan dialog for a device's conditions, by the condition code that the
// manager gives a transfer that failed without the dialog: the one mapping from a condition to
// what the user reads, in the dialogs and from the command-line tool alike.
#pragma once

#include <optional>

#include "messages.h"
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
// What the device sends makes a picture beyond the program's size limit.
inline constexpr TW_UINT16 kConditionPictureTooLarge = TWCC_CUSTOMBASE + 6;
// The device's frames are of a depth, or a layout, that the program does not read.
inline constexpr TW_UINT16 kConditionUnsupportedDepth = TWCC_CUSTOMBASE + 7;
inline constexpr TW_UINT16 kConditionBadFrameLayout = TWCC_CUSTOMBASE + 8;
// The device sends other data than it announced (more bytes, or no frame to put them in).
inline constexpr TW_UINT16 kConditionBadImageData = TWCC_CUSTOMBASE + 9;

// Every condition of the device and its text.
struct DeviceCondition {
  TW_UINT16 code;
  const char* text;
};
inline constexpr DeviceCondition kDeviceConditions[] = {
    {TWCC_MAXCONNECTIONS, kDeviceBusy},
    {TWCC_PAPERJAM, kPaperJam},
    {TWCC_NOMEDIA, kNoDocuments},
    {TWCC_INTERLOCK, kCoverOpen},
    {TWCC_CHECKDEVICEONLINE, kIoError},
    {TWCC_LOWMEMORY, kOutOfMemory},
    {TWCC_DENIED, kAccessDenied},
    {TWCC_BUMMER, kDeviceError},
    {kConditionNoResponse, kNotResponding},
    {kConditionNoImageData, kNoImageData},
    {kConditionNoSaneLibrary, kNoSaneLibrary},
    {kConditionInvalidValue, kInvalidValue},
    {kConditionUnsupported, kUnsupported},
    {kConditionPictureTooLarge, kPictureTooLarge},
    {kConditionUnsupportedDepth, kUnsupportedDepth},
    {kConditionBadFrameLayout, kBadFrameLayout},
    {kConditionBadImageData, kBadImageData},
};

// Null for a code that is no condition of the device.
inline const char* DeviceConditionText(TW_UINT16 condition) {
  for (const DeviceCondition& c : kDeviceConditions)
    if (c.code == condition) return c.text;
  return nullptr;
}

// The text of a failure that the device's condition tells, or that the scanner failed when it
// tells none of its own (or nothing at all).
inline const char* ConditionMessage(std::optional<TW_UINT16> condition) {
  const char* text = condition ? DeviceConditionText(*condition) : nullptr;
  return text ? text : kDeviceError;
}

}  // namespace scanner
