// The operating-system services the device link uses, bundled so that a front end installs the
// real ones or the simulated device once at start.
#pragma once

#include "platform/device_instances.hpp"
#include "platform/diagnostics.hpp"
#include "platform/hid.hpp"
#include "platform/in_use_lock.hpp"
#include "platform/node_holders.hpp"
#include "platform/pause.hpp"

namespace kavori::platform {

struct Platform {
  HidBackend* hid = nullptr;
  InUseLock* lock = nullptr;
  DeviceInstanceList* instances = nullptr;
  // Where the services and the device link say why they passed something over; may be null.
  DiagnosticsLog* diagnostics = nullptr;
  // The fixed pauses; the real ones unless a test shortens them.
  Pauses pauses;
  // Other processes that hold the device's node open; may be null (nobody is then seen).
  NodeHolders* holders = nullptr;
};

}  // namespace kavori::platform
