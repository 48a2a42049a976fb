// The selection dialog: the devices SANE sees, found on a worker thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "scanner/device/device.h"

class QWidget;

namespace scanner {

// Shows the modal dialog over parent with previous selected when it is listed. The chosen
// device, or nothing when the user cancelled. mayRestart: no device is open, so a new search
// may start SANE again and so read its configuration anew.
std::optional<DeviceInfo> ChooseDevice(QWidget* parent, const std::string& previous,
                                       bool mayRestart);

}  // namespace scanner
