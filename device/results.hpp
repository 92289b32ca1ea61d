// Result codes of the device-link operations.
#pragma once

namespace kavori::device {

inline constexpr int kOk = 0;
inline constexpr int kNotAcknowledged = -2;
inline constexpr int kNotWritten = -3;
inline constexpr int kDeviceInUse = -4;
inline constexpr int kNoDevice = -20;
inline constexpr int kDeviceRefused = -22;

}  // namespace kavori::device
