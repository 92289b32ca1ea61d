// Process-wide flags shared by the wizard (UI thread) and the worker threads.
#pragma once

#include <atomic>

namespace kavori::device {

// Set by the device search when the accepted device runs its loader.
extern std::atomic<bool> LoaderMode;
// Set while the wizard waits for the device to come back in loader mode; cleared by Finish.
// While set, the device search refuses a device that runs its normal firmware.
extern std::atomic<bool> WatchingReconnect;
// Set while a programming run executes; the dialog then refuses to close.
extern std::atomic<bool> ProgrammingActive;
// Set at the first failure of a programming run or of its start.
extern std::atomic<bool> ProgrammingFailed;

// Tests only: all four flags cleared.
void ResetFlagsForTests();

}  // namespace kavori::device
