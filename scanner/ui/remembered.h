// What the scanner manager remembers between sessions, in the user's configuration folder
// (lumivane/scanner.conf under XDG_CONFIG_HOME, ~/.config by default): the device last chosen
// and each device's last settings (of a device, its name, vendor and model). A file that cannot be
// read or that holds something else is taken as empty and replaced at the next write; nothing here
// ever fails.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "scanner/contract/device_info.h"

namespace scanner {

// Setting key -> value, keys as the caller names them. A key is letters, digits, '-', '_' or
// '.'; others are not remembered.
using RememberedValues = std::map<std::string, std::string>;

std::optional<DeviceInfo> LastDevice();
void RememberLastDevice(const DeviceInfo& device);

// The values last remembered for device: found by its name, or when no entry has that name
// (network scanners get a new one at each discovery) by its vendor and model. Empty when none.
RememberedValues ValuesFor(const DeviceInfo& device);
void RememberValues(const DeviceInfo& device, const RememberedValues& values);

// Which of the present devices is the remembered one: the same name, or else the first of the
// same vendor and model.
std::optional<std::size_t> FindRemembered(std::span<const DeviceInfo> present,
                                          const DeviceInfo& remembered);

}  // namespace scanner
