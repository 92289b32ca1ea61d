// The wizard's view in the terminal: passes every call on to a Reporter and keeps the page state
// (last step entered, enabled buttons) from which the tool decides what to press. UI thread only.
#pragma once

#include <QTimer>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cli/autopilot.hpp"
#include "cli/reporter.hpp"
#include "wizard/wizard_view.hpp"

namespace kavori::cli {

class TerminalView final : public wizard::WizardView {
 public:
  // Needs a QCoreApplication (the seconds waited are counted by a timer).
  explicit TerminalView(Reporter& reporter);

  // Called after every call that changes the page. It must not act on the page at once: the
  // wizard is in the middle of its step then.
  void OnPageChange(std::function<void()> handler) { pageChanged_ = std::move(handler); }
  const Page& CurrentPage() const { return page_; }
  // The status line as it stands.
  const std::string& LastStatus() const { return status_; }
  // The diagnostic lines shown since the last call.
  std::vector<std::string> TakeDiagnostics() { return std::exchange(diagnostics_, {}); }

  void StepEntered(unsigned step) override;
  void SetMessage(const std::string& text, bool failed) override;
  void SetStatus(const std::string& text, bool failed, std::optional<int> progressPercent) override;
  void EnableNext(bool enabled) override;
  void EnableBack(bool enabled) override;
  void EnableFinish(bool enabled) override;
  void Beep() override;
  void BringToFront() override;
  // The tool presses Finish only when it means to end, so the answer is always Yes.
  bool AskYesNo(const std::string& text) override;
  void ShowStartupMessage(const std::string& text) override;
  void ShowDiagnostics(const std::vector<platform::Diagnostic>& causes) override;

 private:
  void Changed();
  // Counts the seconds the programming run waits after `text`, until the next call.
  void CountSilence(const std::string& text);

  Reporter& reporter_;
  QTimer silence_;
  std::string silentStatus_;
  unsigned silentSeconds_ = 0;
  Page page_;
  std::string status_;
  std::vector<std::string> diagnostics_;
  std::function<void()> pageChanged_;
};

}  // namespace kavori::cli
