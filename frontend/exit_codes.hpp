// The exit codes of kavori-flash. The history records them for both front ends: the window's line
// carries the code kavori-flash would have ended with on the same page (the window process itself
// ends with codes of its own, app/fwtool_app.hpp).
#pragma once

namespace kavori::frontend {

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

// The exit code of a device's run that ended on the page of `enteredStep` without Next;
// `programmingFailed`: wizard::Wizard::ProgrammingFailed().
int PageExitCode(int enteredStep, bool programmingFailed);

}  // namespace kavori::frontend
