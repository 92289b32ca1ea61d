// Identity of the device last accepted by the device search. Plain data: the firmware selection
// reads it, the device search writes it.
#pragma once

#include <array>
#include <cstdint>

namespace kavori::device {

struct DeviceInfoRecord {
  // 0x8105 until a device has been accepted.
  std::uint16_t ProductId = 0x8105;
  // ProductId in bits 31..16, the device's release number in bits 15..0.
  std::uint32_t VersionWord = 0;
  // HID strings narrowed to 8-bit characters, NUL-terminated. Bytes after the terminator keep
  // whatever earlier queries left there.
  std::array<char, 256> ProductString{};
  std::array<char, 256> SerialString{};
};

}  // namespace kavori::device
