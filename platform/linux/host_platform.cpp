// The host services of Linux: hidapi (hidraw) for HID, an abstract Unix socket for the in-use
// lock, udev for the list of USB HID instances, /proc for the other holders of a node.
#include "platform/host_platform.hpp"

#include "platform/linux/hidapi_backend.hpp"
#include "platform/linux/proc_node_holders.hpp"
#include "platform/linux/socket_lock.hpp"
#include "platform/linux/udev_instances.hpp"

namespace kavori::platform::host {

namespace {

class LinuxHostPlatform final : public HostPlatform {
 public:
  explicit LinuxHostPlatform(DiagnosticsLog* diagnostics)
      : hid_(diagnostics), instances_(diagnostics), diagnostics_(diagnostics) {}

  Platform Services() override {
    return Platform{&hid_, &lock_, &instances_, diagnostics_, Pauses{}, &holders_};
  }

 private:
  HidapiBackend hid_;
  AbstractSocketLock lock_;
  UdevDeviceInstanceList instances_;
  ProcNodeHolders holders_;
  DiagnosticsLog* const diagnostics_;
};

}  // namespace

std::unique_ptr<HostPlatform> MakeHostPlatform(DiagnosticsLog* diagnostics) {
  return std::make_unique<LinuxHostPlatform>(diagnostics);
}

}  // namespace kavori::platform::host
