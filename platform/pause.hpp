// The one seam for the product's fixed pauses and polls (1500, 2500, 500, 10 and 1 ms). The
// product always waits the real time; a test builds its services with a shorter scale.
#pragma once

#include <chrono>

namespace kavori::platform {

class Pauses {
 public:
  // The real pauses.
  Pauses() = default;
  // Every pause lasts ms * scale; a scale outside (0, 1] counts as 1.
  explicit Pauses(double scale) : scale_(scale > 0.0 && scale <= 1.0 ? scale : 1.0) {}

  // The time that a pause of `ms` milliseconds takes.
  std::chrono::microseconds Duration(unsigned ms) const {
    return std::chrono::microseconds(
        static_cast<long long>(static_cast<double>(ms) * 1000.0 * scale_));
  }
  // Sleeps for Duration(ms). Never on the UI thread.
  void Pause(unsigned ms) const;

 private:
  double scale_ = 1.0;
};

}  // namespace kavori::platform
