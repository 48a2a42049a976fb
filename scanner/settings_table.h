// Every scan setting in one table: the SANE options it is, the protocol capabilities the binding
// may set it through, its dialog label, its command-line flag and its remembered key. Adding a
// setting is one row here, one text in messages.h and one case in the table's test.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "messages.h"
#include "twain/twain.h"

namespace scanner {

enum class ScanSetting { kMode, kResolution, kArea, kSource, kBrightness, kContrast };

// How the dialog shows a setting.
enum class SettingControl {
  kChoice,  // one of the device's words (a list)
  kNumber,  // a number in the device's range or list
  kArea,    // four lengths in millimetres: left, top, right, bottom
  kSlider,  // a number in the device's range, shown only when the device offers it
};

struct SettingRow {
  ScanSetting id;
  SettingControl control;
  std::span<const std::string_view> saneOptions;  // the area's four, in tl-x, tl-y, br-x, br-y
  std::span<const TW_UINT16> capabilities;
  const char* label;      // from messages.h
  std::string_view flag;  // lumivane-batch's
  std::string_view key;   // in the remembered settings
};

namespace settings_detail {
inline constexpr std::string_view kMode[] = {"mode"};
inline constexpr std::string_view kResolution[] = {"resolution"};
inline constexpr std::string_view kArea[] = {"tl-x", "tl-y", "br-x", "br-y"};
inline constexpr std::string_view kSource[] = {"source"};
inline constexpr std::string_view kBrightness[] = {"brightness"};
inline constexpr std::string_view kContrast[] = {"contrast"};
inline constexpr TW_UINT16 kModeCaps[] = {ICAP_PIXELTYPE};
inline constexpr TW_UINT16 kResolutionCaps[] = {ICAP_XRESOLUTION, ICAP_YRESOLUTION};
inline constexpr TW_UINT16 kAreaCaps[] = {ICAP_FRAMES};
inline constexpr TW_UINT16 kSourceCaps[] = {CAP_FEEDERENABLED};
inline constexpr TW_UINT16 kBrightnessCaps[] = {ICAP_BRIGHTNESS};
inline constexpr TW_UINT16 kContrastCaps[] = {ICAP_CONTRAST};
}  // namespace settings_detail

// In the order of ScanSetting, which is also the dialog's order of rows.
inline constexpr std::array<SettingRow, 6> kScanSettings{{
    {ScanSetting::kMode, SettingControl::kChoice, settings_detail::kMode,
     settings_detail::kModeCaps, kModeLabel, "--mode", "mode"},
    {ScanSetting::kResolution, SettingControl::kNumber, settings_detail::kResolution,
     settings_detail::kResolutionCaps, kResolutionLabel, "--resolution", "resolution"},
    {ScanSetting::kArea, SettingControl::kArea, settings_detail::kArea, settings_detail::kAreaCaps,
     kAreaLabel, "--area", "area"},
    {ScanSetting::kSource, SettingControl::kChoice, settings_detail::kSource,
     settings_detail::kSourceCaps, kSourceLabel, "--source", "source"},
    {ScanSetting::kBrightness, SettingControl::kSlider, settings_detail::kBrightness,
     settings_detail::kBrightnessCaps, kBrightnessLabel, "--brightness", "brightness"},
    {ScanSetting::kContrast, SettingControl::kSlider, settings_detail::kContrast,
     settings_detail::kContrastCaps, kContrastLabel, "--contrast", "contrast"},
}};

constexpr const SettingRow& RowOf(ScanSetting id) {
  return kScanSettings[static_cast<std::size_t>(id)];
}

namespace settings_detail {
template <typename Matches>
constexpr const SettingRow* FindRow(Matches matches) {
  for (const SettingRow& row : kScanSettings)
    if (matches(row)) return &row;
  return nullptr;
}
}  // namespace settings_detail

// The row a SANE option belongs to ("tl-x" gives the area), or nullptr.
constexpr const SettingRow* RowBySaneOption(std::string_view option) {
  return settings_detail::FindRow([&](const SettingRow& row) {
    for (const std::string_view name : row.saneOptions)
      if (name == option) return true;
    return false;
  });
}

constexpr const SettingRow* RowByCapability(TW_UINT16 capability) {
  return settings_detail::FindRow([&](const SettingRow& row) {
    for (const TW_UINT16 c : row.capabilities)
      if (c == capability) return true;
    return false;
  });
}

constexpr const SettingRow* RowByFlag(std::string_view flag) {
  return settings_detail::FindRow([&](const SettingRow& row) { return row.flag == flag; });
}

constexpr const SettingRow* RowByKey(std::string_view key) {
  return settings_detail::FindRow([&](const SettingRow& row) { return row.key == key; });
}

}  // namespace scanner
