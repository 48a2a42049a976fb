// A device as SANE names and describes it: the one description of a device that the manager
// lists, hands out in an identity, shows and remembers, and that the batch tool prints.
#pragma once

#include <string>

#include "twain/identity_text.h"
#include "twain/twain.h"

namespace scanner {

struct DeviceInfo {
  std::string name, vendor, model;
  friend bool operator==(const DeviceInfo&, const DeviceInfo&) = default;
};

// Maker and model in one text, either alone when the other is empty.
inline std::string MakerAndModel(const DeviceInfo& device) {
  const char* space = device.vendor.empty() || device.model.empty() ? "" : " ";
  return device.vendor + space + device.model;
}

// The device an identity describes (its product name may be the device's name cut to the field).
inline DeviceInfo DeviceOf(const TW_IDENTITY& identity) {
  return {Str32Text(identity.ProductName), Str32Text(identity.Manufacturer),
          Str32Text(identity.ProductFamily)};
}

}  // namespace scanner
