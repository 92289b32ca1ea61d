// Hands tasks from any thread to the Qt event loop of the thread that created the poster.
//
// The tasks wait in a queue behind a std::mutex and an eventfd wakes the loop: every hand-over
// between threads goes through primitives that ThreadSanitizer sees, none through Qt's own
// (uninstrumented) event queue.
#pragma once

#include <QSocketNotifier>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/wake_counter.hpp"
#include "wizard/ui_poster.hpp"

namespace kavori::frontend {

class QtUiPoster final : public wizard::UiPoster {
 public:
  // On the UI thread, with a QCoreApplication. std::runtime_error when no eventfd can be made.
  QtUiPoster();
  ~QtUiPoster() override;
  QtUiPoster(const QtUiPoster&) = delete;
  QtUiPoster& operator=(const QtUiPoster&) = delete;

  // Any thread. Tasks run on the UI thread in the order they were posted.
  void Post(std::function<void()> task) override;
  // UI thread.
  void PostAfter(std::chrono::microseconds delay, std::function<void()> task) override;
  // UI thread. Tasks still queued, or posted later, never run.
  void Stop();

 private:
  void RunQueued();

  std::mutex mutex_;
  std::deque<std::function<void()>> queue_;
  bool stopped_ = false;
  std::unique_ptr<platform::host::WakeCounter> wake_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace kavori::frontend
