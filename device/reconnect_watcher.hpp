// The reconnect watcher: after the prepare command, polls until the device is back in loader
// mode, lets it settle, opens the link again and tells the wizard to move on.
#pragma once

namespace kavori::device {

// Called on the watcher thread: implementations hand the advance to their UI thread and return
// at once, never waiting for it.
class WatcherObserver {
 public:
  virtual ~WatcherObserver() = default;
  // The device is back and the link was opened again (its result is not examined).
  virtual void Reconnected() = 0;
};

// Starts the watcher thread (WatchingReconnect must be set). A watcher of an earlier pass is
// joined first. A thread that cannot be created is not reported. UI thread.
void StartReconnectWatcher(WatcherObserver& observer);
// Asks a running watcher to end: its pauses wake at once and it does not advance the wizard any
// more. Does not wait. Any thread.
void RequestReconnectWatcherStop();
// Waits at most timeoutMs for the watcher to end; true when it has ended or none runs.
bool WaitReconnectWatcher(unsigned timeoutMs);
// Requests the stop and joins the thread. Harmless when none was started. UI thread.
void StopReconnectWatcher();

// The thread routine.
void ReconnectWatcher(WatcherObserver& observer);

}  // namespace kavori::device
