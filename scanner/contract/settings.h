// Every scan setting in one table. A row gives the setting's name, which is both the batch
// tool's flag (--name) and the key it is remembered under; what its value is (kind) and how the
// scan dialog shows it (control); its SANE option; the capability the program sets it through;
// its label in the dialog; the form of its value in the batch tool's usage; the batch tool's
// sentence for a value the device refuses; and the colour mode it belongs to, if only one. A
// setting's value travels as text in one form everywhere (setting_text.h):
//   mode        color | gray | lineart
//   resolution  dots per inch
//   area        LEFT,TOP,RIGHT,BOTTOM in millimetres (SANE's tl-x, tl-y, br-x, br-y)
//   source      flatbed | feeder
//   brightness, contrast, threshold (line art)  the device's own numbers
// A setting is offered where the device has its option, active, in the mode the row names. A
// setting that the manager keeps itself, rather than the device, is a row without a SANE option
// (none so far). Header only: the batch tool shares the names, capabilities and texts.
#pragma once

#include <sane/saneopts.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "messages.h"
#include "setting_text.h"
#include "twain/twain.h"

namespace scanner {

// What a value is: a colour mode, a count of dots, another number, four corners, a kind of source.
enum class SettingKind { kMode, kResolution, kNumber, kArea, kSource };
// How the scan dialog shows it: a list to choose from, a number box with the option's unit, the
// four corners (with the area on the preview), a slider.
enum class Control { kChoice, kNumber, kArea, kSlider };

struct Setting {
  const char* name;
  SettingKind kind;
  Control control;
  const char* option;        // the area stands for tl-x, tl-y, br-x and br-y
  TW_UINT16 capability;      // ONEVALUE: UINT16 pixel type, FIX32, FRAME or BOOL (feeder)
  TW_UINT16 alsoCapability;  // a second capability of the same meaning, or 0
  const char* label;
  const char* form;     // the value in the batch tool's usage; null: a choice's words
  const char* refused;  // a value refused (%s), before the condition; null: kSettingRefused
  std::optional<ColourMode> onlyIn = std::nullopt;
};

inline constexpr std::array<Setting, 7> kSettings{{
    {"mode", SettingKind::kMode, Control::kChoice, SANE_NAME_SCAN_MODE, ICAP_PIXELTYPE, 0,
     kModeLabel, nullptr, kScanModeRefused},
    {"resolution", SettingKind::kResolution, Control::kNumber, SANE_NAME_SCAN_RESOLUTION,
     ICAP_XRESOLUTION, ICAP_YRESOLUTION, kResolutionLabel, "DPI", kScanResolutionRefused},
    {"area", SettingKind::kArea, Control::kArea, SANE_NAME_SCAN_TL_X, ICAP_FRAMES, 0, kAreaLabel,
     "LEFT,TOP,RIGHT,BOTTOM", kScanAreaRefused},
    {"source", SettingKind::kSource, Control::kChoice, SANE_NAME_SCAN_SOURCE, CAP_FEEDERENABLED, 0,
     kSourceLabel, nullptr, kScanSourceRefused},
    {"brightness", SettingKind::kNumber, Control::kSlider, SANE_NAME_BRIGHTNESS, ICAP_BRIGHTNESS, 0,
     kBrightnessLabel, "N", nullptr},
    {"contrast", SettingKind::kNumber, Control::kSlider, SANE_NAME_CONTRAST, ICAP_CONTRAST, 0,
     kContrastLabel, "N", nullptr},
    {"threshold", SettingKind::kNumber, Control::kSlider, SANE_NAME_THRESHOLD, ICAP_THRESHOLD, 0,
     kThresholdLabel, "N", nullptr, ColourMode::kLineart},
}};

// The form of a setting's value in the batch tool's usage: the row's, or a choice's words.
inline std::string UsageForm(const Setting& setting) {
  if (setting.form) return setting.form;
  std::string words;
  auto add = [&](const char* word) {
    if (!words.empty()) words += '|';
    words += word;
  };
  if (setting.kind == SettingKind::kMode)
    for (const ModeWord& m : kModeWords) add(m.word);
  else
    for (const char* word : kSourceWords) add(word);
  return words;
}

inline constexpr std::array<const char*, 4> kAreaOptions{SANE_NAME_SCAN_TL_X, SANE_NAME_SCAN_TL_Y,
                                                         SANE_NAME_SCAN_BR_X, SANE_NAME_SCAN_BR_Y};

constexpr const Setting* SettingNamed(std::string_view name) {
  for (const Setting& s : kSettings)
    if (name == s.name) return &s;
  return nullptr;
}

// The table's row of that name; a name missing from the table does not compile.
consteval const Setting& TableRow(std::string_view name) {
  const Setting* setting = SettingNamed(name);
  if (setting == nullptr) throw "not a setting";
  return *setting;
}

constexpr const Setting* SettingFor(TW_UINT16 capability) {
  for (const Setting& s : kSettings)
    if (capability == s.capability || (s.alsoCapability != 0 && capability == s.alsoCapability))
      return &s;
  return nullptr;
}

}  // namespace scanner
