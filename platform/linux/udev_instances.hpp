// The USB HID device instances from udev: one entry per device of the "hid" subsystem that sits
// on a USB device, presented as an instance path USB\VID_xxxx&PID_xxxx\<serial or port>.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device_instances.hpp"
#include "platform/diagnostics.hpp"

namespace kavori::platform::host {

// Pure. Builds the instance path from the USB device's sysfs values as read (a trailing newline
// or other white space is dropped; hex digits in either case, 1 to 4 of them). The instance part
// is the serial when it has one, else the USB device's name (such as "1-2"). nullopt when the
// vendor or product id is not a hex number of up to 16 bits.
std::optional<std::string> BuildInstancePath(std::string_view idVendor, std::string_view idProduct,
                                             std::string_view serial, std::string_view sysname);

// Thread-safe: each Read uses a udev context of its own. Why the list cannot be read goes to the
// diagnostics log given at construction (if any).
class UdevDeviceInstanceList final : public DeviceInstanceList {
 public:
  explicit UdevDeviceInstanceList(DiagnosticsLog* diagnostics = nullptr)
      : diagnostics_(diagnostics) {}

  // nullopt when udev cannot be used or the devices cannot be listed. Entries lacking a readable
  // vendor or product id are left out. Order: udev's (sorted by sysfs path).
  std::optional<std::vector<std::string>> Read() override;

 private:
  std::nullopt_t Unreadable(const char* why);

  DiagnosticsLog* const diagnostics_;
};

}  // namespace kavori::platform::host
