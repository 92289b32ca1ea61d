// The list of USB HID device instances the system knows, each as an instance path of the form
// USB\VID_xxxx&PID_xxxx\<instance>. Read once at start to count connected devices.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kavori::platform {

class DeviceInstanceList {
 public:
  virtual ~DeviceInstanceList() = default;
  // The instance paths in the system's order; nullopt when the list cannot be read.
  virtual std::optional<std::vector<std::string>> Read() = 0;
};

}  // namespace kavori::platform
