// How worker threads reach the UI thread.
#pragma once

#include <chrono>
#include <functional>

namespace kavori::wizard {

class UiPoster {
 public:
  virtual ~UiPoster() = default;
  // Queues `task` to run on the UI thread, in order, and returns at once. Callable from any
  // thread. A task posted after the UI has stopped is dropped.
  virtual void Post(std::function<void()> task) = 0;
  // Runs `task` on the UI thread once `delay` has passed, without blocking it meanwhile. UI
  // thread only. A task whose time comes after the UI has stopped is dropped.
  virtual void PostAfter(std::chrono::microseconds delay, std::function<void()> task) = 0;
};

}  // namespace kavori::wizard
