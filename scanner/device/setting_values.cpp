#include "setting_values.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

namespace scanner {
namespace {

constexpr std::array<std::pair<ColourMode, const char*>, 3> kModeNames{
    {{ColourMode::kColor, "color"},
     {ColourMode::kGray, "gray"},
     {ColourMode::kLineart, "lineart"}}};

std::optional<ColourMode> ModeNamed(const std::string& name) {
  for (const auto& [mode, text] : kModeNames)
    if (name == text) return mode;
  return std::nullopt;
}

std::string Number(double value) {
  char text[32];
  (void)std::snprintf(text, sizeof text, "%.6g", value);  // at most 13 characters
  return text;
}

std::optional<double> ParseNumber(const std::string& text) {
  std::istringstream in(text);
  double value = 0;
  if (!(in >> value) || !in.eof()) return std::nullopt;
  return value;
}

std::optional<std::array<double, 4>> ParseArea(const std::string& text) {
  std::array<double, 4> area{};
  std::istringstream in(text);
  for (std::size_t i = 0; i < area.size(); ++i) {
    std::string part;
    if (!std::getline(in, part, ',')) return std::nullopt;
    const std::optional<double> value = ParseNumber(part);
    if (!value) return std::nullopt;
    area[i] = *value;
  }
  if (in.peek() != std::char_traits<char>::eof()) return std::nullopt;
  return area;
}

bool IsFeeder(const std::string& source) {
  std::string lower = source;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower.find("adf") != std::string::npos || lower.find("feeder") != std::string::npos;
}

double FromFix32(TW_FIX32 fix) {
  return fix.Whole + fix.Frac / 65536.0;
}

}  // namespace

std::string SourceNamed(const Device& device, const std::string& kind) {
  const std::vector<std::string> sources = device.Strings("source");
  if (kind != "feeder" && kind != "flatbed") return {};
  const bool feeder = kind == "feeder";
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
  switch (setting.kind) {
    case SettingKind::kMode:
      return !device.Modes().empty();
    case SettingKind::kNumber:
      return device.Choice(setting.option).has_value();
    case SettingKind::kArea:
      return device.HasArea();
    case SettingKind::kSource:
      return device.Strings("source").size() > 1;
  }
  return false;
}

std::optional<std::string> ValueOf(const Device& device, const Setting& setting) {
  switch (setting.kind) {
    case SettingKind::kMode: {
      const std::optional<ColourMode> mode = device.Mode();
      for (const auto& [m, text] : kModeNames)
        if (mode == m) return text;
      return std::nullopt;
    }
    case SettingKind::kNumber: {
      const std::optional<double> value = device.Number(setting.option);
      if (!value) return std::nullopt;
      return Number(*value);
    }
    case SettingKind::kArea: {
      if (!device.HasArea()) return std::nullopt;
      std::string text;
      for (const char* option : kAreaOptions) {
        const std::optional<double> value = device.Number(option);
        if (!value) return std::nullopt;
        text += (text.empty() ? "" : ",") + Number(*value);
      }
      return text;
    }
    case SettingKind::kSource: {
      const std::optional<std::string> source = device.String("source");
      if (!source) return std::nullopt;
      return IsFeeder(*source) ? "feeder" : "flatbed";
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
    case SettingKind::kNumber: {
      const std::optional<double> number = ParseNumber(value);
      const std::optional<NumberChoice> choice = device.Choice(setting.option);
      // A resolution is a count of dots: zero or less is none.
      if (!number || !choice || (setting.capability == ICAP_XRESOLUTION && *number <= 0))
        return false;
      return choice->Takes(*number);
    }
    case SettingKind::kArea: {
      const std::optional<std::array<double, 4>> area = ParseArea(value);
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
    case SettingKind::kNumber:
      return device.SetNumber(setting.option, *ParseNumber(value));
    case SettingKind::kArea: {
      const std::array<double, 4> area = *ParseArea(value);
      for (std::size_t i = 0; i < area.size(); ++i)
        if (const SANE_Status status = device.SetNumber(kAreaOptions[i], area[i]);
            status != SANE_STATUS_GOOD)
          return status;
      return SANE_STATUS_GOOD;
    }
    case SettingKind::kSource:
      return device.SetString("source", SourceNamed(device, value));
  }
  return SANE_STATUS_INVAL;
}

std::optional<std::string> FromContainer(const Setting& setting, const void* container,
                                         std::size_t size) {
  if (setting.kind == SettingKind::kArea) {
    TW_ONEVALUE_FRAME frame{};
    if (size < sizeof frame) return std::nullopt;
    std::memcpy(&frame, container, sizeof frame);
    if (frame.ItemType != TWTY_FRAME) return std::nullopt;
    return Number(FromFix32(frame.Item.Left)) + "," + Number(FromFix32(frame.Item.Top)) + "," +
           Number(FromFix32(frame.Item.Right)) + "," + Number(FromFix32(frame.Item.Bottom));
  }
  TW_ONEVALUE one{};
  if (size < sizeof one) return std::nullopt;
  std::memcpy(&one, container, sizeof one);
  switch (setting.kind) {
    case SettingKind::kMode: {
      if (one.ItemType != TWTY_UINT16) return std::nullopt;
      const auto type = static_cast<TW_UINT16>(one.Item);
      if (type == TWPT_RGB) return "color";
      if (type == TWPT_GRAY) return "gray";
      if (type == TWPT_BW) return "lineart";
      return std::nullopt;
    }
    case SettingKind::kNumber: {
      if (one.ItemType != TWTY_FIX32) return std::nullopt;
      TW_FIX32 fix{};
      std::memcpy(&fix, &one.Item, sizeof fix);
      return Number(FromFix32(fix));
    }
    case SettingKind::kSource:
      if (one.ItemType != TWTY_BOOL) return std::nullopt;
      return static_cast<TW_UINT16>(one.Item) ? "feeder" : "flatbed";
    default:
      return std::nullopt;
  }
}

}  // namespace scanner
