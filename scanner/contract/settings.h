// Every scan setting in one table: its SANE option, the capability the program sets it through,
// its label in the scan dialog, and its name, which is both the command-line flag (--name) and
// the key it is remembered under. A setting's value travels as text in one form everywhere
// (setting_text.h):
//   mode        color | gray | lineart
//   resolution  dots per inch
//   area        LEFT,TOP,RIGHT,BOTTOM in millimetres (SANE's tl-x, tl-y, br-x, br-y)
//   source      flatbed | feeder
//   brightness, contrast  the device's own numbers
// Header only, so that the batch tool shares the names and capabilities.
#pragma once

#include <array>
#include <string_view>

#include "messages.h"
#include "setting_text.h"
#include "twain/twain.h"

namespace scanner {

enum class SettingKind { kMode, kNumber, kArea, kSource };

struct Setting {
  const char* name;
  SettingKind kind;
  const char* option;        // the area stands for tl-x, tl-y, br-x and br-y
  TW_UINT16 capability;      // ONEVALUE: UINT16 pixel type, FIX32, FRAME or BOOL (feeder)
  TW_UINT16 alsoCapability;  // a second capability of the same meaning, or 0
  const char* label;
  const char* refused;  // the batch tool's form for a value the device refuses
};

inline constexpr std::array<Setting, 6> kSettings{{
    {"mode", SettingKind::kMode, "mode", ICAP_PIXELTYPE, 0, kModeLabel, kScanModeRefused},
    {"resolution", SettingKind::kNumber, "resolution", ICAP_XRESOLUTION, ICAP_YRESOLUTION,
     kResolutionLabel, kScanResolutionRefused},
    {"area", SettingKind::kArea, "tl-x", ICAP_FRAMES, 0, kAreaLabel, kScanAreaRefused},
    {"source", SettingKind::kSource, "source", CAP_FEEDERENABLED, 0, kSourceLabel,
     kScanSourceRefused},
    {"brightness", SettingKind::kNumber, "brightness", ICAP_BRIGHTNESS, 0, kBrightnessLabel,
     kScanBrightnessRefused},
    {"contrast", SettingKind::kNumber, "contrast", ICAP_CONTRAST, 0, kContrastLabel,
     kScanContrastRefused},
}};

inline constexpr std::array<const char*, 4> kAreaOptions{"tl-x", "tl-y", "br-x", "br-y"};

constexpr const Setting* SettingNamed(std::string_view name) {
  for (const Setting& s : kSettings)
    if (name == s.name) return &s;
  return nullptr;
}

constexpr const Setting* SettingFor(TW_UINT16 capability) {
  for (const Setting& s : kSettings)
    if (capability == s.capability || (s.alsoCapability != 0 && capability == s.alsoCapability))
      return &s;
  return nullptr;
}

}  // namespace scanner
