#include "device/flags.hpp"

namespace kavori::device {

std::atomic<bool> LoaderMode{false};
std::atomic<bool> WatchingReconnect{false};
std::atomic<bool> ProgrammingActive{false};
std::atomic<bool> ProgrammingFailed{false};

void ResetFlagsForTests() {
  LoaderMode = false;
  WatchingReconnect = false;
  ProgrammingActive = false;
  ProgrammingFailed = false;
}

}  // namespace kavori::device
