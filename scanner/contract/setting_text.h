// The text forms of the settings' values (settings.h) and the protocol's numbers behind them:
// the one place that reads and writes them, for the manager, the dialog and the batch tool.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "twain/twain.h"

namespace scanner {

// The picture kinds offered to the user; line art may be a mode of its own or gray at 1 bit.
enum class ColourMode { kColor, kGray, kLineart };

// A mode's word and the pixel type that asks for it.
struct ModeWord {
  ColourMode mode;
  const char* word;
  TW_UINT16 pixelType;
};
inline constexpr std::array<ModeWord, 3> kModeWords{{{ColourMode::kColor, "color", TWPT_RGB},
                                                     {ColourMode::kGray, "gray", TWPT_GRAY},
                                                     {ColourMode::kLineart, "lineart", TWPT_BW}}};
// Nothing for a word, or a pixel type, that is no mode.
std::optional<ColourMode> ModeNamed(std::string_view word);
std::optional<ColourMode> ModeOfPixelType(TW_UINT16 pixelType);
const ModeWord& ModeWordOf(ColourMode mode);

// The kinds of source, in this order; the feeder is the capability's true.
inline constexpr std::array<const char*, 2> kSourceWords{"flatbed", "feeder"};
inline constexpr const char* kFlatbedWord = kSourceWords[0];
inline constexpr const char* kFeederWord = kSourceWords[1];

// A number as it is written (up to six significant digits), and read back: a whole text that is
// one finite number, nothing else.
std::string NumberText(double value);
std::optional<double> ParseNumber(std::string_view text);

// LEFT,TOP,RIGHT,BOTTOM: four numbers and the commas between them, nothing else.
using AreaValue = std::array<double, 4>;
std::optional<AreaValue> ParseArea(std::string_view text);
std::string AreaText(const AreaValue& area);

// The protocol's fixed-point numbers: one as a number, and a number as one to the nearest
// 1/65536 (nothing outside -32768 up to below 32768).
double FromFix32(TW_FIX32 fix);
std::optional<TW_FIX32> ToFix32(double value);

}  // namespace scanner
