// The one seam for the product's fixed pauses and polls (1500, 2500, 500, 10 and 1 ms). The
// product always waits the real time; tests may scale every pause down before threads start.
#pragma once

#include <chrono>

namespace kavori::platform {

// The time that a pause of `ms` milliseconds takes now.
std::chrono::microseconds PauseDuration(unsigned ms);
// Sleeps for PauseDuration(ms).
void Pause(unsigned ms);
// Tests only: every pause lasts ms * factor (factor in (0, 1]). Thread-safe.
void SetPauseScaleForTests(double factor);

}  // namespace kavori::platform
