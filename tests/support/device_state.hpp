// The process-wide state of the device and firmware rooms, put in a known shape before a test and
// back to the product's start values after it.
#pragma once

#include "device/commands.hpp"
#include "device/device_link.hpp"
#include "device/flags.hpp"
#include "firmware/firmware_image.hpp"

namespace kavori::testing {

inline void ResetDeviceStateForTest() {
  device::ResetDeviceLinkForTests();
  device::ResetFlagsForTests();
  device::ReplyTimeoutMs = 2000;
}

// False when the installed platform could not be removed (a link was still open).
inline bool RestoreDeviceState() {
  device::ReplyEvent.Close();
  device::ResetDeviceLinkForTests();
  device::ResetFlagsForTests();
  firmware::UnloadFirmwareFile();
  device::ReplyTimeoutMs = 30000;
  return device::UsePlatform({});
}

}  // namespace kavori::testing
