// A WizardView that records every call as one line, and a UiPoster whose queue the test pumps
// on its own thread, which plays the UI thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
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
    next = on;
  }
  void EnableBack(bool on) override {
    Add(std::string(on ? "+" : "-") + "back");
    back = on;
  }
  void EnableFinish(bool on) override {
    Add(std::string(on ? "+" : "-") + "finish");
    finish = on;
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
  std::vector<platform::Diagnostic> diagnostics;

 private:
  void Add(std::string line) { calls.push_back(std::move(line)); }
};

class QueuePoster : public wizard::UiPoster {
 public:
  void Post(std::function<void()> task) override {
    std::lock_guard guard(mutex_);
    tasks_.push_back(std::move(task));
    posted_.notify_all();
  }

  // Runs posted tasks on the calling thread until `done` holds; false when it did not within
  // `limit` (a test failure, never a hang).
  bool PumpUntil(const std::function<bool()>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      std::function<void()> task;
      {
        std::unique_lock lock(mutex_);
        if (!posted_.wait_until(lock, deadline, [this] { return !tasks_.empty(); })) return false;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
    return true;
  }

  // Runs whatever is queued now.
  void Drain() {
    for (;;) {
      std::function<void()> task;
      {
        std::lock_guard guard(mutex_);
        if (tasks_.empty()) return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> tasks_;
};

}  // namespace kavori::testing
