// What the step machine needs from a front end. Every call comes on the UI thread.
#pragma once

#include <string>

namespace kavori::wizard {

class WizardView {
 public:
  virtual ~WizardView() = default;
  // EnterStep was called with `step` (before its prologue). Front ends that follow the pages,
  // like the terminal one, use it; the dialog needs nothing here.
  virtual void StepEntered(unsigned step) { static_cast<void>(step); }
  virtual void SetMessage(const std::string& text) = 0;
  // The status line; the view draws it red while device::ProgrammingFailed is set.
  virtual void SetStatus(const std::string& text) = 0;
  virtual void EnableNext(bool enabled) = 0;
  virtual void EnableBack(bool enabled) = 0;
  virtual void EnableFinish(bool enabled) = 0;
  virtual void Beep() = 0;
  virtual void BringToFront() = 0;
  // A Yes/No question captioned with the window's caption; true for Yes.
  virtual bool AskYesNo(const std::string& text) = 0;
  // An OK message box captioned with the application title, shown before the wizard ends at start.
  virtual void ShowStartupMessage(const std::string& text) = 0;
};

}  // namespace kavori::wizard
