// The settings of a preview: a quick scan of the whole glass, and afterwards the user's settings
// again.
#pragma once

#include "scanner/device/device.h"
#include "scanner/device/setting_values.h"

namespace scanner {

// A preview scans at the device's own preview where it has one, otherwise at its lowest
// resolution of at least kPreviewDpi; 8 bits, colour where offered; the whole glass.
inline constexpr double kPreviewDpi = 50;
void SetForPreview(Device& device);
// The device's settings before the preview, its own preview off.
void EndPreview(Device& device, const SettingValues& before);

}  // namespace scanner
