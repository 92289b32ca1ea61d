#include "device/reconnect_watcher.hpp"

#include <system_error>

#include "device/device_link.hpp"
#include "device/results.hpp"

namespace kavori::device {

ReconnectWatcher::ReconnectWatcher(DeviceLink& link, const std::atomic<bool>& watchingReconnect)
    : link_(link), watchingReconnect_(watchingReconnect) {}

ReconnectWatcher::~ReconnectWatcher() { StopReconnectWatcher(); }

bool ReconnectWatcher::PauseUnlessStopped(unsigned ms) {
  std::unique_lock lock(mutex_);
  return !changed_.wait_for(lock, link_.Services().pauses.Duration(ms),
                            [this] { return stopRequested_; });
}

bool ReconnectWatcher::StopRequested() {
  std::lock_guard guard(mutex_);
  return stopRequested_;
}

void ReconnectWatcher::Watch(WatcherObserver& observer) {
  while (watchingReconnect_ && !StopRequested()) {
    link_.CloseDeviceLink();
    if (link_.OpenDeviceLink(watchingReconnect_) == kOk) {
      link_.CloseDeviceLink();
      observer.SeenBack();
      if (!PauseUnlessStopped(2500)) break;
      link_.OpenDeviceLink(watchingReconnect_);
      if (!StopRequested()) observer.Reconnected();
      break;
    }
    if (!PauseUnlessStopped(500)) break;
  }
  std::lock_guard guard(mutex_);
  running_ = false;
  changed_.notify_all();
}

void ReconnectWatcher::StartReconnectWatcher(WatcherObserver& observer) {
  StopReconnectWatcher();
  std::lock_guard guard(mutex_);
  stopRequested_ = false;
  running_ = true;
  try {
    thread_ = std::thread([this, &observer] { Watch(observer); });
  } catch (const std::system_error&) {
    running_ = false;
  }
}

void ReconnectWatcher::RequestReconnectWatcherStop() {
  std::lock_guard guard(mutex_);
  stopRequested_ = true;
  changed_.notify_all();
}

bool ReconnectWatcher::WaitReconnectWatcher(unsigned timeoutMs) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return !running_; });
}

void ReconnectWatcher::StopReconnectWatcher() {
  RequestReconnectWatcherStop();
  std::thread finished;
  {
    std::lock_guard guard(mutex_);
    finished = std::move(thread_);
  }
  if (finished.joinable()) finished.join();
}

}  // namespace kavori::device
