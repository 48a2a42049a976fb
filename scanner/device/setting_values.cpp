#include "setting_values.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace scanner {
namespace {

bool IsFeeder(const std::string& source) {
  std::string lower = source;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower.find("adf") != std::string::npos || lower.find("feeder") != std::string::npos;
}

}  // namespace

std::string SourceNamed(const Device& device, const std::string& kind) {
  const std::vector<std::string> sources = device.Strings(SANE_NAME_SCAN_SOURCE);
  if (kind != kFeederWord && kind != kFlatbedWord) return {};
  const bool feeder = kind == kFeederWord;
  // A simplex feeder before a duplex one; the flatbed by its name, else the first that is not a
  // feeder.
  for (const std::string& s : sources)
    if (feeder && IsFeeder(s) && s.find("uplex") == std::string::npos) return s;
  for (const std::string& s : sources) {
    if (feeder && IsFeeder(s)) return s;
    if (!feeder && s.find("latbed") != std::string::npos) return s;
  }
  if (!feeder)
    for (const std::string& s : sources)
      if (!IsFeeder(s)) return s;
  return {};
}

bool Offers(const Device& device, const Setting& setting) {
  if (setting.onlyIn && device.Mode() != setting.onlyIn) return false;
  switch (setting.kind) {
    case SettingKind::kMode:
      return !device.Modes().empty();
    case SettingKind::kResolution:
    case SettingKind::kNumber:
      return device.Choice(setting.option).has_value();
    case SettingKind::kArea:
      return device.HasArea();
    case SettingKind::kSource:
      return device.Strings(setting.option).size() > 1;
  }
  return false;
}

std::optional<std::string> ValueOf(const Device& device, const Setting& setting) {
  switch (setting.kind) {
    case SettingKind::kMode: {
      const std::optional<ColourMode> mode = device.Mode();
      if (!mode) return std::nullopt;
      return ModeWordOf(*mode).word;
    }
    case SettingKind::kResolution:
    case SettingKind::kNumber: {
      const std::optional<double> value = device.Number(setting.option);
      if (!value) return std::nullopt;
      return NumberText(*value);
    }
    case SettingKind::kArea: {
      if (!device.HasArea()) return std::nullopt;
      AreaValue area{};
      for (std::size_t i = 0; i < area.size(); ++i) {
        const std::optional<double> value = device.Number(kAreaOptions[i]);
        if (!value) return std::nullopt;
        area[i] = *value;
      }
      return AreaText(area);
    }
    case SettingKind::kSource: {
      const std::optional<std::string> source = device.String(setting.option);
      if (!source) return std::nullopt;
      return IsFeeder(*source) ? kFeederWord : kFlatbedWord;
    }
  }
  return std::nullopt;
}

bool Takes(const Device& device, const Setting& setting, const std::string& value) {
  switch (setting.kind) {
    case SettingKind::kMode: {
      const std::optional<ColourMode> mode = ModeNamed(value);
      const std::vector<ColourMode> modes = device.Modes();
      return mode && std::find(modes.begin(), modes.end(), *mode) != modes.end();
    }
    case SettingKind::kResolution:
    case SettingKind::kNumber: {
      const std::optional<double> number = ParseNumber(value);
      const std::optional<NumberChoice> choice = device.Choice(setting.option);
      // A resolution is a count of dots: zero or less is none.
      if (!number || !choice || (setting.kind == SettingKind::kResolution && *number <= 0))
        return false;
      return choice->Takes(*number);
    }
    case SettingKind::kArea: {
      const std::optional<AreaValue> area = ParseArea(value);
      if (!area || !device.HasArea()) return false;
      for (std::size_t i = 0; i < area->size(); ++i) {
        const NumberChoice choice = *device.Choice(kAreaOptions[i]);
        if ((*area)[i] < choice.min - 1e-6 || (*area)[i] > choice.max + 1e-6) return false;
      }
      return (*area)[0] < (*area)[2] && (*area)[1] < (*area)[3];
    }
    case SettingKind::kSource:
      return !SourceNamed(device, value).empty();
  }
  return false;
}

SANE_Status Apply(Device& device, const Setting& setting, const std::string& value) {
  if (!Takes(device, setting, value)) return SANE_STATUS_INVAL;
  switch (setting.kind) {
    case SettingKind::kMode:
      return device.SetMode(*ModeNamed(value));
    case SettingKind::kResolution:
    case SettingKind::kNumber:
      return device.SetNumber(setting.option, *ParseNumber(value));
    case SettingKind::kArea: {
      const AreaValue area = *ParseArea(value);
      for (std::size_t i = 0; i < area.size(); ++i)
        if (const SANE_Status status = device.SetNumber(kAreaOptions[i], area[i]);
            status != SANE_STATUS_GOOD)
          return status;
      return SANE_STATUS_GOOD;
    }
    case SettingKind::kSource:
      return device.SetString(setting.option, SourceNamed(device, value));
  }
  return SANE_STATUS_INVAL;
}

SettingValues ValuesOf(const Device& device) {
  SettingValues values;
  for (const Setting& setting : kSettings)
    if (Offers(device, setting))
      if (std::optional<std::string> value = ValueOf(device, setting))
        values[setting.name] = std::move(*value);
  return values;
}

void ApplyValues(Device& device, const SettingValues& values) {
  for (const Setting& setting : kSettings)
    if (const auto it = values.find(setting.name); it != values.end())
      if (Offers(device, setting) && Takes(device, setting, it->second))
        Apply(device, setting, it->second);
}

std::vector<std::string> ChoicesOf(const Device& device, const Setting& setting) {
  if (setting.kind == SettingKind::kSource) return device.Strings(setting.option);
  std::vector<std::string> words;
  if (setting.kind == SettingKind::kMode)
    for (const ColourMode mode : device.Modes()) words.emplace_back(ModeWordOf(mode).word);
  return words;
}

std::optional<std::string> ChoiceOf(const Device& device, const Setting& setting) {
  if (setting.kind == SettingKind::kSource) return device.String(setting.option);
  return ValueOf(device, setting);
}

SANE_Status SetChoice(Device& device, const Setting& setting, const std::string& choice) {
  if (setting.kind == SettingKind::kSource) return device.SetString(setting.option, choice);
  return Apply(device, setting, choice);
}

std::optional<std::string> FromContainer(const Setting& setting, const void* container,
                                         std::size_t size) {
  if (setting.kind == SettingKind::kArea) {
    TW_ONEVALUE_FRAME frame{};
    if (size < sizeof frame) return std::nullopt;
    std::memcpy(&frame, container, sizeof frame);
    if (frame.ItemType != TWTY_FRAME) return std::nullopt;
    return AreaText({FromFix32(frame.Item.Left), FromFix32(frame.Item.Top),
                     FromFix32(frame.Item.Right), FromFix32(frame.Item.Bottom)});
  }
  TW_ONEVALUE one{};
  if (size < sizeof one) return std::nullopt;
  std::memcpy(&one, container, sizeof one);
  switch (setting.kind) {
    case SettingKind::kMode: {
      if (one.ItemType != TWTY_UINT16) return std::nullopt;
      const std::optional<ColourMode> mode = ModeOfPixelType(static_cast<TW_UINT16>(one.Item));
      if (!mode) return std::nullopt;
      return ModeWordOf(*mode).word;
    }
    case SettingKind::kResolution:
    case SettingKind::kNumber: {
      if (one.ItemType != TWTY_FIX32) return std::nullopt;
      TW_FIX32 fix{};
      std::memcpy(&fix, &one.Item, sizeof fix);
      return NumberText(FromFix32(fix));
    }
    case SettingKind::kSource:
      if (one.ItemType != TWTY_BOOL) return std::nullopt;
      return static_cast<TW_UINT16>(one.Item) ? kFeederWord : kFlatbedWord;
    default:
      return std::nullopt;
  }
}

}  // namespace scanner
