// The real operating-system services of a Linux host, owned together: hidapi (hidraw) for HID,
// an abstract Unix socket for the in-use lock, udev for the list of USB HID instances.
#pragma once

#include "platform/linux/hidapi_backend.hpp"
#include "platform/linux/socket_lock.hpp"
#include "platform/linux/udev_instances.hpp"
#include "platform/platform.hpp"

namespace kavori::platform::host {

// Lives for as long as anything uses the services it hands out (in practice: the process).
class HostPlatform {
 public:
  // Why nodes were passed over goes to `diagnostics` (may be null), which must outlive this.
  explicit HostPlatform(DiagnosticsLog* diagnostics = nullptr)
      : hid_(diagnostics), instances_(diagnostics), diagnostics_(diagnostics) {}
  HostPlatform(const HostPlatform&) = delete;
  HostPlatform& operator=(const HostPlatform&) = delete;

  // Pointers into this object.
  Platform Services() { return Platform{&hid_, &lock_, &instances_, diagnostics_, Pauses{}}; }

 private:
  HidapiBackend hid_;
  AbstractSocketLock lock_;
  UdevDeviceInstanceList instances_;
  DiagnosticsLog* const diagnostics_;
};

}  // namespace kavori::platform::host
