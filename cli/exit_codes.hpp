// The exit codes of kavori-flash.
#pragma once

#include <string>

namespace kavori::cli {

inline constexpr int kExitProgrammed = 0;  // also --dry-run
inline constexpr int kExitFailed = 1;      // programming failed or could not start
inline constexpr int kExitDeviceCount = 2;
inline constexpr int kExitDeviceSearch = 3;
inline constexpr int kExitFirmwareSearch = 4;
inline constexpr int kExitNoReconnect = 5;
inline constexpr int kExitNotConfirmed = 6;
inline constexpr int kExitVersionRefused = 7;  // --yes: same or older image, not allowed
inline constexpr int kExitUsage = 64;
inline constexpr int kExitInterrupted = 130;

// One line on why the tool ended with `code`; empty for 0.
std::string ExitReason(int code);

}  // namespace kavori::cli
