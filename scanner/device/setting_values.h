// The settings of the table on a device: whether it offers one, its value, whether it takes a
// value, setting it, all of them at once, the choices the dialog lists, and a value from the
// capability container the program sent. Values are in the text form settings.h describes.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "scanner/contract/settings.h"
#include "scanner/device/device.h"

namespace scanner {

// Offered: the device has the setting's option, active, and is in the setting's mode if it has one.
bool Offers(const Device& device, const Setting& setting);
std::optional<std::string> ValueOf(const Device& device, const Setting& setting);
bool Takes(const Device& device, const Setting& setting, const std::string& value);
// SANE_STATUS_INVAL for a value the device does not take.
SANE_Status Apply(Device& device, const Setting& setting, const std::string& value);

// The table's settings by name, each in its text form: what the dialog shows, and what is
// remembered per device for the next time.
using SettingValues = std::map<std::string, std::string>;
// The device's values of every setting of the table it offers.
SettingValues ValuesOf(const Device& device);
// Sets the values the device takes, in the table's order; the others are dropped.
void ApplyValues(Device& device, const SettingValues& values);

// A choice's entries as the dialog lists them: a mode's words, or each of the device's own
// sources (a feeder and a duplex one are two); the current one; choosing one.
std::vector<std::string> ChoicesOf(const Device& device, const Setting& setting);
std::optional<std::string> ChoiceOf(const Device& device, const Setting& setting);
SANE_Status SetChoice(Device& device, const Setting& setting, const std::string& choice);

// The value a one-value container of the setting's capability holds (size bytes at container);
// nothing for a container of the wrong type.
std::optional<std::string> FromContainer(const Setting& setting, const void* container,
                                         std::size_t size);

// The device's source name for "flatbed" or "feeder"; empty when it has none.
std::string SourceNamed(const Device& device, const std::string& kind);

}  // namespace scanner
