// The wizard's brain: the current step, the entry action of every step (which alone decides
// texts and button states), the start-up device check, Next, Back, Finish, the OK/Cancel guard
// and the teardown. It owns no widget: it drives a WizardView.
//
// Thread contract: every public member function runs on the UI thread. The programming run and
// the reconnect watcher call the private observer functions on their own threads; those only
// post to the UI thread through the UiPoster, and nothing posted reaches a torn-down wizard.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "device/device_link.hpp"
#include "device/programming_run.hpp"
#include "device/reconnect_watcher.hpp"
#include "firmware/firmware_selection.hpp"
#include "wizard/ui_poster.hpp"
#include "wizard/version.hpp"
#include "wizard/wizard_view.hpp"

namespace kavori::wizard {

inline constexpr char kApplicationTitle[] = "Brimsel Kavori Firmware Programming Tool";

// The wizard's steps as WizardStep holds them.
enum class Step : std::uint8_t {
  Welcome = 0,
  DeviceSearch = 1,
  FirmwareSearch = 2,  // ends on the information page when a file suits
  Preparing = 3,       // the prepare command, then waiting for the replugged device
  Reconnected = 4,
  AwaitingProgramming = 5,  // never entered: stored so that the next Next enters Programming
  Programming = 6,
  Finished = 7,
};

// The words the pages give each outcome of the two searches: the status line of a firmware search
// result, and the device search's refusal as its page names it first ("Kavori Device is in use by
// other application." for -4, "Kavori Device was NOT found." for the others). The diagnose report
// quotes them, so it cannot drift from the pages.
const char* FirmwareSearchStatus(firmware::FirmwareSearchResult result);
const char* DeviceSearchRefusal(int openResult);

class Wizard : private device::RunObserver, private device::WatcherObserver {
 public:
  // Firmware files are searched in `firmwareDirectory`. View, poster and link must outlive the
  // wizard.
  Wizard(WizardView& view, UiPoster& poster, device::DeviceLink& link,
         std::string firmwareDirectory);
  ~Wizard() override;
  Wizard(const Wizard&) = delete;
  Wizard& operator=(const Wizard&) = delete;

  // Makes step 2 judge only the entry `name` of the firmware directory, a file the user named,
  // instead of searching the directory's "*.hex" entries. Before Start.
  void NameFirmwareFile(std::string name) { firmwareFile_ = std::move(name); }
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
  // Stops the workers (a firmware search is abandoned at once), then closes the link and releases
  // the image. Idempotent; also run by the destructor. After it, nothing a worker posted reaches
  // the view.
  void Teardown();

  std::uint8_t WizardStep() const { return step_; }
  // The state a front end may ask for, from any thread.
  // A programming run executes: the dialog refuses to close.
  bool ProgrammingActive() const { return run_.ProgrammingActive(); }
  // The last programming run, or its start, failed.
  bool ProgrammingFailed() const { return run_.ProgrammingFailed(); }
  // The current step's entry action goes on: the firmware search runs, or the device has its
  // pause after the prepare command. The page is complete once this is false. UI thread.
  bool EntryInProgress() const { return entryInProgress_; }
  // Step 3 waits for the device to come back in its loader; cleared only by Finish.
  bool WaitingForDevice() const { return WatchingReconnect.load(); }
  // The watcher has seen the device back in its loader and lets it settle; the wizard moves on
  // by itself after that. Any thread.
  bool DeviceSeenBack() const { return seenBack_.load(); }
  // The start-up count as Start makes it, without acting on it; `instances`, when given, gets the
  // entries counted. UI thread.
  std::uint32_t ConnectedDevices(std::vector<std::string>* instances = nullptr);
  // What the information page shows of the chosen file and the device; empty before a file
  // suits. UI thread.
  const firmware::FirmwareInfo& Information() const { return info_; }
  // The chosen image until the programming run takes it; null otherwise. UI thread.
  const firmware::FirmwareImage* ChosenImage() const { return image_ ? &*image_ : nullptr; }
  // The accepted device's identity as the device search read it. Any thread.
  device::DeviceInfoRecord DeviceIdentity() const { return link_.DeviceInfo(); }
  // The accepted device is in its loader (it reports no firmware version then). Any thread.
  bool DeviceInLoader() const { return link_.LoaderMode(); }
  // The time-out of every wait for a device reply, 1..32766 ms (30000 at start); a new value
  // applies from the next wait on, also during a run. Any thread.
  std::uint16_t ReplyTimeoutMs() const { return link_.ReplyTimeoutMs(); }
  void SetReplyTimeoutMs(std::uint16_t ms) { link_.SetReplyTimeoutMs(ms); }

 private:
  void RunStatus(const std::string& text, bool failed) override;
  void RunProgress(int percent, const std::string& text, bool failed) override;
  void RunFinished() override;
  void SeenBack() override;
  void Reconnected() override;
  // Runs `task` on the UI thread unless the wizard has been torn down meanwhile.
  void PostToUi(std::function<void()> task);
  // The status line, red while the programming run has failed.
  void Status(const std::string& text);
  void Message(const std::string& text);

  void EnterWelcome();
  void EnterDeviceSearch();
  void EnterFirmwareSearch();
  // The search's result, back on the UI thread.
  void FirmwareSearchDone(firmware::FirmwareSelection selection);
  void ShowFirmwareSearchResult(firmware::FirmwareSelection selection);
  void StopFirmwareSearch();
  void EnterPreparing();
  // The rest of step 3, once the device has had its pause after the prepare command.
  void PreparingDone();
  void EnterReconnected();
  void EnterProgramming();
  void EnterFinished();

  WizardView& view_;
  UiPoster& poster_;
  device::DeviceLink& link_;
  std::string firmwareDirectory_;
  std::optional<std::string> firmwareFile_;  // the one entry step 2 judges, when named
  std::uint8_t step_ = 0;
  // Set by step 3, cleared only by Finish: the watcher polls while it is set, and the device
  // search refuses a device in normal mode meanwhile. Read by the watcher's thread.
  std::atomic<bool> WatchingReconnect{false};
  std::atomic<bool> seenBack_{false};  // set by the watcher's thread
  device::ProgrammingRun run_;
  device::ReconnectWatcher watcher_;
  firmware::FirmwareInfo info_;
  // The image the search chose, until the programming run takes it.
  std::optional<firmware::FirmwareImage> image_;
  // The firmware search's worker.
  std::jthread search_;
  // Counts step entries: a search result or a timed continuation applies only to its own entry.
  unsigned entryPass_ = 0;
  bool entryInProgress_ = false;
  bool closed_ = false;
  // Posted tasks hold a weak reference: a task that outlives the wizard object is dropped.
  std::shared_ptr<Wizard*> self_;
};

}  // namespace kavori::wizard
