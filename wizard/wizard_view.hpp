// What the step machine needs from a front end. Every call comes on the UI thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/diagnostics.hpp"

namespace kavori::wizard {

class WizardView {
 public:
  virtual ~WizardView() = default;
  // EnterStep was called with `step` (before its prologue; any value, also above the last step).
  // Front ends that follow the pages, like the terminal one, use it; the dialog needs nothing here.
  virtual void StepEntered(unsigned step) { static_cast<void>(step); }
  // The page of the step last entered is complete: its texts and button states stay as they are
  // until the next step entry (a programming run still writes its status line). Comes once per
  // step entry, at its end, or later when the entry goes on (the firmware search, the pause after
  // prepare: Wizard::EntryInProgress()); never for an entry that a later one has replaced. The
  // dialog puts the keyboard focus on the first enabled button here.
  virtual void PageComplete() {}
  // The instruction text. `failed`: the programming run has failed (a front end may route the
  // text as an error; the dialog's message never changes colour).
  virtual void SetMessage(const std::string& text, bool failed) = 0;
  // The status line, drawn red when `failed`. `progressPercent` (1..100) comes with the
  // programming run's progress texts, so that no front end reads the number back from the text.
  virtual void SetStatus(const std::string& text, bool failed,
                         std::optional<int> progressPercent) = 0;
  virtual void EnableNext(bool enabled) = 0;
  virtual void EnableBack(bool enabled) = 0;
  virtual void EnableFinish(bool enabled) = 0;
  virtual void Beep() = 0;
  virtual void BringToFront() = 0;
  // A Yes/No question captioned with the window's caption; true for Yes.
  virtual bool AskYesNo(const std::string& text) = 0;
  // An OK message box captioned with the application title, shown before the wizard ends at start.
  virtual void ShowStartupMessage(const std::string& text) = 0;
  // Why the start-up count or the device search just failed, as the services and the device
  // link said it (often empty); for stderr, never for the wizard's own texts.
  virtual void ShowDiagnostics(const std::vector<platform::Diagnostic>& causes) = 0;
};

}  // namespace kavori::wizard
