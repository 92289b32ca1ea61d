#include "platform/pause.hpp"

#include <atomic>
#include <thread>

namespace kavori::platform {
namespace {
std::atomic<double> g_scale{1.0};
}  // namespace

std::chrono::microseconds PauseDuration(unsigned ms) {
  const double us = static_cast<double>(ms) * 1000.0 * g_scale.load(std::memory_order_relaxed);
  return std::chrono::microseconds(static_cast<long long>(us));
}

void Pause(unsigned ms) { std::this_thread::sleep_for(PauseDuration(ms)); }

void SetPauseScaleForTests(double factor) {
  if (factor > 0.0 && factor <= 1.0) g_scale.store(factor, std::memory_order_relaxed);
}

}  // namespace kavori::platform
