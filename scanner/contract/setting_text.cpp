#include "setting_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace scanner {
namespace {

constexpr double kFix32Steps = 65536;
constexpr double kFix32Limit = 32768;

}  // namespace

std::optional<ColourMode> ModeNamed(std::string_view word) {
  for (const ModeWord& m : kModeWords)
    if (word == m.word) return m.mode;
  return std::nullopt;
}

std::optional<ColourMode> ModeOfPixelType(TW_UINT16 pixelType) {
  for (const ModeWord& m : kModeWords)
    if (pixelType == m.pixelType) return m.mode;
  return std::nullopt;
}

const ModeWord& ModeWordOf(ColourMode mode) {
  for (const ModeWord& m : kModeWords)
    if (mode == m.mode) return m;
  return kModeWords.front();  // every mode has its word
}

std::string NumberText(double value) {
  char text[32];
  (void)std::snprintf(text, sizeof text, "%.6g", value);  // at most 13 characters
  return text;
}

std::optional<double> ParseNumber(std::string_view text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
    return std::nullopt;
  return value;
}

std::optional<AreaValue> ParseArea(std::string_view text) {
  AreaValue area{};
  for (std::size_t i = 0; i < area.size(); ++i) {
    const std::size_t comma = text.find(',');
    // A comma after each number but the last.
    if ((comma == std::string_view::npos) != (i + 1 == area.size())) return std::nullopt;
    const std::optional<double> value = ParseNumber(text.substr(0, comma));
    if (!value) return std::nullopt;
    area[i] = *value;
    text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
  }
  return area;
}

std::string AreaText(const AreaValue& area) {
  return NumberText(area[0]) + "," + NumberText(area[1]) + "," + NumberText(area[2]) + "," +
         NumberText(area[3]);
}

double FromFix32(TW_FIX32 fix) {
  return fix.Whole + fix.Frac / kFix32Steps;
}

std::optional<TW_FIX32> ToFix32(double value) {
  const double steps = std::round(value * kFix32Steps);
  if (!(steps >= -kFix32Limit * kFix32Steps && steps < kFix32Limit * kFix32Steps))
    return std::nullopt;
  const auto whole = static_cast<TW_INT16>(std::floor(steps / kFix32Steps));
  return TW_FIX32{whole, static_cast<TW_UINT16>(steps - whole * kFix32Steps)};
}

}  // namespace scanner
