// The wizard's brain: the current step, the entry action of every step (which alone decides
// texts and button states), the start-up device check, Next, Back, Finish, the OK/Cancel guard
// and the teardown. It owns no widget: it drives a WizardView.
//
// Thread contract: every public member function runs on the UI thread. The programming run and
// the reconnect watcher call the private observer functions on their own threads; those only
// post to the UI thread through the UiPoster, and nothing posted reaches a torn-down wizard.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "device/programming_run.hpp"
#include "device/reconnect_watcher.hpp"
#include "firmware/firmware_selection.hpp"
#include "wizard/ui_poster.hpp"
#include "wizard/wizard_view.hpp"

namespace kavori::wizard {

inline constexpr char kApplicationTitle[] = "Brimsel Kavori Firmware Programming Tool";
inline constexpr char kVersionText[] = "1.0.3.0";

class Wizard : private device::RunObserver, private device::WatcherObserver {
 public:
  // Firmware files are searched in `firmwareDirectory`.
  Wizard(WizardView& view, UiPoster& poster, std::string firmwareDirectory);
  ~Wizard() override;
  Wizard(const Wizard&) = delete;
  Wizard& operator=(const Wizard&) = delete;

  // The dialog's start: counts the connected devices and either shows its refusal and returns
  // false (the wizard must end), or enters step 0 and returns true.
  bool Start();
  // The entry action of `step` (low 8 bits count).
  void EnterStep(unsigned step);
  void OnNext();
  void OnBack();
  // True when the wizard ends now (the caller then calls Teardown); false when the user said No.
  bool OnFinish();
  // The dialog's OK and Cancel paths: true when the wizard may end now, false while programming.
  bool OnOK();
  bool OnCancel();
  // Stops the workers, then closes the link and releases the image. Idempotent; also run by the
  // destructor. After it, nothing a worker posted reaches the view.
  void Teardown();

  std::uint8_t WizardStep() const { return step_; }

 private:
  void RunStatus(const std::string& text) override;
  void RunFinished() override;
  void Reconnected() override;
  // Runs `task` on the UI thread unless the wizard has been torn down meanwhile.
  void PostToUi(std::function<void()> task);

  void EnterWelcome();
  void EnterDeviceSearch();
  void EnterFirmwareSearch();
  void EnterPreparing();
  void EnterReconnected();
  void EnterProgramming();
  void EnterFinished();

  WizardView& view_;
  UiPoster& poster_;
  std::string firmwareDirectory_;
  std::uint8_t step_ = 0;
  firmware::FirmwareInfo info_;
  bool closed_ = false;
  // Posted tasks hold a weak reference: a task that outlives the wizard object is dropped.
  std::shared_ptr<Wizard*> self_;
};

}  // namespace kavori::wizard
