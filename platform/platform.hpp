// The operating-system services the device link uses, bundled so that a front end installs the
// real ones or the simulated device once at start.
#pragma once

#include "platform/device_instances.hpp"
#include "platform/hid.hpp"
#include "platform/in_use_lock.hpp"

namespace kavori::platform {

struct Platform {
  HidBackend* hid = nullptr;
  InUseLock* lock = nullptr;
  DeviceInstanceList* instances = nullptr;
};

}  // namespace kavori::platform
