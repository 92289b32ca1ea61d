// A WizardView that records every call as one line, and a UiPoster whose queue the test pumps
// on its own thread, which plays the UI thread.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "wizard/ui_poster.hpp"
#include "wizard/wizard_view.hpp"

namespace kavori::testing {

class RecordingView : public wizard::WizardView {
 public:
  void StepEntered(unsigned step) override { Add("enter " + std::to_string(step)); }
  void SetMessage(const std::string& text, bool) override {
    message = text;
    Add("message " + text);
  }
  void SetStatus(const std::string& text, bool failed, std::optional<int> percent) override {
    status = text;
    statusFailed = failed;
    if (percent) lastPercent = *percent;
    Add("status " + text);
  }
  void EnableNext(bool on) override {
    Add(std::string(on ? "+" : "-") + "next");
    buttonsSinceComplete = true;
    next = on;
  }
  void EnableBack(bool on) override {
    Add(std::string(on ? "+" : "-") + "back");
    buttonsSinceComplete = true;
    back = on;
  }
  void EnableFinish(bool on) override {
    Add(std::string(on ? "+" : "-") + "finish");
    buttonsSinceComplete = true;
    finish = on;
  }
  // Counted apart from `calls`: the page's texts and buttons are what the tests compare.
  void PageComplete() override {
    ++pagesComplete;
    buttonsSinceComplete = false;
  }
  void Beep() override { Add("beep"); }
  void BringToFront() override { Add("front"); }
  bool AskYesNo(const std::string& text) override {
    Add("ask " + text);
    return answer;
  }
  void ShowStartupMessage(const std::string& text) override { Add("box " + text); }
  // Kept apart from `calls`: the causes never change what the wizard shows.
  void ShowDiagnostics(const std::vector<platform::Diagnostic>& causes) override {
    diagnostics = causes;
  }

  // The calls since the last Take(), and forget them.
  std::vector<std::string> Take() {
    std::vector<std::string> out;
    out.swap(calls);
    return out;
  }

  std::vector<std::string> calls;
  std::string message;
  std::string status;
  bool statusFailed = false;
  int lastPercent = 0;  // of the last progress text
  bool next = false;
  bool back = false;
  bool finish = false;
  bool answer = true;
  int pagesComplete = 0;
  // A button changed after the last PageComplete (or none came yet).
  bool buttonsSinceComplete = true;
  std::vector<platform::Diagnostic> diagnostics;

 private:
  void Add(std::string line) { calls.push_back(std::move(line)); }
};

// Posted tasks, and timed ones once their time has come, run when the test pumps them.
class QueuePoster : public wizard::UiPoster {
  using Clock = std::chrono::steady_clock;

 public:
  void Post(std::function<void()> task) override { Add(Clock::now(), std::move(task)); }
  void PostAfter(std::chrono::microseconds delay, std::function<void()> task) override {
    Add(Clock::now() + delay, std::move(task));
  }

  // Runs due tasks on the calling thread until `done` holds (looked at between tasks and at least
  // every millisecond); false when it did not within
  // `limit` (a test failure, never a hang).
  bool PumpUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
      std::function<void()> task;
      {
        std::unique_lock lock(mutex_);
        const auto due = NextDueLocked();
        if (due != tasks_.end()) {
          task = std::move(due->second);
          tasks_.erase(due);
        } else {
          if (Clock::now() >= deadline) return false;
          // A short bound: `done` may come true through a worker without any post.
          auto wake = std::min(deadline, Clock::now() + std::chrono::milliseconds(1));
          if (!tasks_.empty()) wake = std::min(wake, EarliestLocked());
          posted_.wait_until(lock, wake);
        }
      }
      if (task) task();
    }
    return true;
  }

  // Runs whatever is due now.
  void Drain() {
    for (;;) {
      std::function<void()> task;
      {
        std::lock_guard guard(mutex_);
        const auto due = NextDueLocked();
        if (due == tasks_.end()) return;
        task = std::move(due->second);
        tasks_.erase(due);
      }
      task();
    }
  }

  // Tasks queued, due or not.
  std::size_t Pending() {
    std::lock_guard guard(mutex_);
    return tasks_.size();
  }

 private:
  using Task = std::pair<Clock::time_point, std::function<void()>>;

  void Add(Clock::time_point due, std::function<void()> task) {
    std::lock_guard guard(mutex_);
    tasks_.emplace_back(due, std::move(task));
    posted_.notify_all();
  }
  // The first task in posting order whose time has come.
  std::deque<Task>::iterator NextDueLocked() {
    const auto now = Clock::now();
    return std::find_if(tasks_.begin(), tasks_.end(),
                        [now](const Task& t) { return t.first <= now; });
  }
  Clock::time_point EarliestLocked() const {
    return std::min_element(tasks_.begin(), tasks_.end(),
                            [](const Task& a, const Task& b) { return a.first < b.first; })
        ->first;
  }

  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<Task> tasks_;
};

}  // namespace kavori::testing
