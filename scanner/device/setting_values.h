// The settings of the table on a device: whether it offers one, its value, whether it takes a
// value, setting it, and a value from the capability container the program sent. Values are
// in the text form settings.h describes.
#pragma once

#include <optional>
#include <string>

#include "device.h"
#include "scanner/contract/settings.h"

namespace scanner {

bool Offers(const Device& device, const Setting& setting);
std::optional<std::string> ValueOf(const Device& device, const Setting& setting);
bool Takes(const Device& device, const Setting& setting, const std::string& value);
// SANE_STATUS_INVAL for a value the device does not take.
SANE_Status Apply(Device& device, const Setting& setting, const std::string& value);

// The value a one-value container of the setting's capability holds (size bytes at container);
// nothing for a container of the wrong type.
std::optional<std::string> FromContainer(const Setting& setting, const void* container,
                                         std::size_t size);

// The device's source name for "flatbed" or "feeder"; empty when it has none.
std::string SourceNamed(const Device& device, const std::string& kind);

}  // namespace scanner
