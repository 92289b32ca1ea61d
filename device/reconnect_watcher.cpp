#include "device/reconnect_watcher.hpp"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "device/device_link.hpp"
#include "device/flags.hpp"
#include "device/results.hpp"
#include "platform/pause.hpp"

namespace kavori::device {

namespace {

struct WatcherState {
  std::mutex mutex;
  std::condition_variable changed;
  std::thread thread;
  bool running = false;
  bool stopRequested = false;
};

WatcherState g_watcher;

// Pauses for `ms`, or less when a stop is requested; false when it was.
bool PauseUnlessStopped(unsigned ms) {
  std::unique_lock lock(g_watcher.mutex);
  return !g_watcher.changed.wait_for(lock, platform::PauseDuration(ms),
                                     [] { return g_watcher.stopRequested; });
}

bool StopRequested() {
  std::lock_guard guard(g_watcher.mutex);
  return g_watcher.stopRequested;
}

}  // namespace

void ReconnectWatcher(WatcherObserver& observer) {
  while (WatchingReconnect && !StopRequested()) {
    CloseDeviceLink();
    if (OpenDeviceLink() == kOk) {
      CloseDeviceLink();
      if (!PauseUnlessStopped(2500)) break;
      OpenDeviceLink();
      if (!StopRequested()) observer.Reconnected();
      break;
    }
    if (!PauseUnlessStopped(500)) break;
  }
  std::lock_guard guard(g_watcher.mutex);
  g_watcher.running = false;
  g_watcher.changed.notify_all();
}

void StartReconnectWatcher(WatcherObserver& observer) {
  StopReconnectWatcher();
  std::lock_guard guard(g_watcher.mutex);
  g_watcher.stopRequested = false;
  g_watcher.running = true;
  try {
    g_watcher.thread = std::thread(ReconnectWatcher, std::ref(observer));
  } catch (const std::system_error&) {
    g_watcher.running = false;
  }
}

void RequestReconnectWatcherStop() {
  std::lock_guard guard(g_watcher.mutex);
  g_watcher.stopRequested = true;
  g_watcher.changed.notify_all();
}

bool WaitReconnectWatcher(unsigned timeoutMs) {
  std::unique_lock lock(g_watcher.mutex);
  return g_watcher.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [] { return !g_watcher.running; });
}

void StopReconnectWatcher() {
  RequestReconnectWatcherStop();
  std::thread finished;
  {
    std::lock_guard guard(g_watcher.mutex);
    finished = std::move(g_watcher.thread);
  }
  if (finished.joinable()) finished.join();
}

}  // namespace kavori::device
