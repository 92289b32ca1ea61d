// Counts the connected devices of the vendor from the system's list of USB HID instances,
// without opening any of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.hpp"

namespace kavori::device {

// 0 and *count set; -2 when count is null; -3 when the list cannot be read (count untouched).
// `counted`, when given, receives the entries that were counted.
// Reads the list through `services`, which it also tells what it passed over.
int CountConnectedDevices(const platform::Platform& services, std::uint32_t* count,
                          std::vector<std::string>* counted = nullptr);

}  // namespace kavori::device
