#include "frontend/ui_poster.hpp"

#include <QTimer>
#include <stdexcept>

namespace kavori::frontend {

QtUiPoster::QtUiPoster() : wake_(platform::host::WakeCounter::Open()) {
  if (!wake_) throw std::runtime_error("cannot create the event descriptor for worker reports");
  notifier_ = std::make_unique<QSocketNotifier>(wake_->Fd(), QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                   [this] { RunQueued(); });
}

QtUiPoster::~QtUiPoster() { Stop(); }

void QtUiPoster::Post(std::function<void()> task) {
  std::lock_guard guard(mutex_);
  if (stopped_) return;
  queue_.push_back(std::move(task));
  // Under the lock, so that no wake-up is still on its way once Stop() has returned.
  wake_->Signal();
}

void QtUiPoster::PostAfter(std::chrono::microseconds delay, std::function<void()> task) {
  // Never early: the device is owed at least the whole pause.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(delay);
  // The notifier as context: the timer goes with the poster.
  QTimer::singleShot(ms, Qt::PreciseTimer, notifier_.get(), [this, task = std::move(task)] {
    {
      std::lock_guard guard(mutex_);
      if (stopped_) return;
    }
    task();
  });
}

void QtUiPoster::Stop() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard guard(mutex_);
    stopped_ = true;
    dropped.swap(queue_);
  }
  notifier_->setEnabled(false);
}

void QtUiPoster::RunQueued() {
  wake_->Clear();
  // One at a time: a task may stop the poster, and the tasks after it must not run then.
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard guard(mutex_);
      if (stopped_ || queue_.empty()) return;
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    task();
  }
}

}  // namespace kavori::frontend
