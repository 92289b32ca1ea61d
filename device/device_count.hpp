// Counts the connected devices of the vendor from the system's list of USB HID instances,
// without opening any of them.
#pragma once

#include <cstdint>

namespace kavori::device {

// 0 and *count set; -2 when count is null; -3 when the list cannot be read (count untouched).
int CountConnectedDevices(std::uint32_t* count);

}  // namespace kavori::device
