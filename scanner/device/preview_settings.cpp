#include "preview_settings.h"

#include <sane/saneopts.h>

#include <algorithm>

namespace scanner {

void SetForPreview(Device& device) {
  const std::vector<ColourMode> modes = device.Modes();
  if (std::find(modes.begin(), modes.end(), ColourMode::kColor) != modes.end())
    device.SetMode(ColourMode::kColor);
  else if (std::find(modes.begin(), modes.end(), ColourMode::kGray) != modes.end())
    device.SetMode(ColourMode::kGray);
  if (const std::optional<NumberChoice> depth = device.Choice(SANE_NAME_BIT_DEPTH);
      depth && depth->Takes(8))
    device.SetNumber(SANE_NAME_BIT_DEPTH, 8);
  if (device.HasFlag(SANE_NAME_PREVIEW)) {
    device.SetFlag(SANE_NAME_PREVIEW, true);
  } else if (const std::optional<NumberChoice> dpi = device.Choice(SANE_NAME_SCAN_RESOLUTION)) {
    double lowest = dpi->Clamp(kPreviewDpi);
    for (double v : dpi->list)
      if (v >= kPreviewDpi && (lowest < kPreviewDpi || v < lowest)) lowest = v;
    device.SetNumber(SANE_NAME_SCAN_RESOLUTION, lowest);
  }
  if (device.HasArea())
    for (std::size_t i = 0; i < kAreaOptions.size(); ++i) {
      const NumberChoice range = *device.Choice(kAreaOptions[i]);
      device.SetNumber(kAreaOptions[i], i < 2 ? range.min : range.max);
    }
}

void EndPreview(Device& device, const SettingValues& before) {
  if (device.HasFlag(SANE_NAME_PREVIEW)) device.SetFlag(SANE_NAME_PREVIEW, false);
  ApplyValues(device, before);
}

}  // namespace scanner
