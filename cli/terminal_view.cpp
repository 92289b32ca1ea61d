#include "cli/terminal_view.hpp"

#include "frontend/diagnostics.hpp"
#include "wizard/wizard.hpp"

namespace kavori::cli {

TerminalView::TerminalView(Reporter& reporter) : reporter_(reporter) {
  silence_.setInterval(1000);
  QObject::connect(&silence_, &QTimer::timeout, &silence_,
                   [this] { reporter_.Waited(silentStatus_, ++silentSeconds_); });
}

void TerminalView::CountSilence(const std::string& text) {
  silentStatus_ = text;
  silentSeconds_ = 0;
  silence_.start();
}

void TerminalView::StepEntered(unsigned step) {
  silence_.stop();
  page_.enteredStep = static_cast<int>(step);
  reporter_.StepEntered(step);
  Changed();
}

void TerminalView::SetMessage(const std::string& text, bool failed) {
  silence_.stop();
  reporter_.Message(text, failed);
  Changed();
}

void TerminalView::SetStatus(const std::string& text, bool failed,
                             std::optional<int> progressPercent) {
  silence_.stop();
  // Between its milestones the run waits for the device's reply; progress texts come by
  // themselves.
  if (page_.enteredStep == static_cast<int>(wizard::Step::Programming) && !progressPercent &&
      !failed)
    CountSilence(text);
  status_ = text;
  reporter_.Status(text, failed, progressPercent);
  // A new percentage changes nothing the driver decides on (page, buttons, the run's flags), and
  // a download brings a hundred of them: no decision for those.
  if (!progressPercent) Changed();
}

void TerminalView::EnableNext(bool enabled) {
  page_.next = enabled;
  reporter_.ButtonChanged(Button::Next, enabled);
  Changed();
}

void TerminalView::EnableBack(bool enabled) {
  page_.back = enabled;
  reporter_.ButtonChanged(Button::Back, enabled);
  Changed();
}

void TerminalView::EnableFinish(bool enabled) {
  page_.finish = enabled;
  reporter_.ButtonChanged(Button::Finish, enabled);
  Changed();
}

void TerminalView::Beep() { reporter_.Beep(); }

void TerminalView::BringToFront() { reporter_.Foreground(); }

bool TerminalView::AskYesNo(const std::string& text) {
  reporter_.Question(text, true);
  return true;
}

void TerminalView::ShowStartupMessage(const std::string& text) { reporter_.StartupBox(text); }

void TerminalView::ShowDiagnostics(const std::vector<platform::Diagnostic>& causes) {
  for (const std::string& line : frontend::DiagnosticLines(causes)) {
    reporter_.Diagnostic(line);
    diagnostics_.push_back(line);
  }
}

void TerminalView::Changed() {
  if (pageChanged_) pageChanged_();
}

}  // namespace kavori::cli
