// The reconnect watcher: after the prepare command, polls until the device is back in loader
// mode, lets it settle, opens the link again and tells the wizard to move on.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace kavori::device {

class DeviceLink;

// Called on the watcher thread: implementations hand the advance to their UI thread and return
// at once, never waiting for it.
class WatcherObserver {
 public:
  virtual ~WatcherObserver() = default;
  // The device answered in its loader for the first time; it settles before Reconnected.
  virtual void SeenBack() {}
  // The device is back and the link was opened again (its result is not examined).
  virtual void Reconnected() = 0;
};

class ReconnectWatcher {
 public:
  // `watchingReconnect` is the wizard's flag: the watcher polls while it is set, and its device
  // searches refuse a normal-mode device meanwhile. Both must outlive the watcher.
  ReconnectWatcher(DeviceLink& link, const std::atomic<bool>& watchingReconnect);
  ~ReconnectWatcher();  // stops and joins
  ReconnectWatcher(const ReconnectWatcher&) = delete;
  ReconnectWatcher& operator=(const ReconnectWatcher&) = delete;

  // Starts the watcher thread. A watcher of an earlier pass is joined first. A thread that cannot
  // be created is not reported. UI thread.
  void StartReconnectWatcher(WatcherObserver& observer);
  // Asks a running watcher to end: its pauses wake at once and it does not advance the wizard any
  // more. Does not wait. Any thread.
  void RequestReconnectWatcherStop();
  // Waits at most timeoutMs for the watcher to end; true when it has ended or none runs. It ends
  // within one device search of a stop request.
  bool WaitReconnectWatcher(unsigned timeoutMs);
  // Requests the stop and joins the thread. Harmless when none was started. UI thread.
  void StopReconnectWatcher();

  // The thread routine, on the calling thread.
  void Watch(WatcherObserver& observer);

 private:
  // Pauses for `ms`, or less when a stop is requested; false when it was.
  bool PauseUnlessStopped(unsigned ms);
  bool StopRequested();

  DeviceLink& link_;
  const std::atomic<bool>& watchingReconnect_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread thread_;
  bool running_ = false;
  bool stopRequested_ = false;
};

}  // namespace kavori::device
