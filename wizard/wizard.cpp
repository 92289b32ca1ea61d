#include "wizard/wizard.hpp"

#include <system_error>
#include <utility>

#include "device/commands.hpp"
#include "device/device_count.hpp"
#include "device/results.hpp"
#include "firmware/product_ids.hpp"

namespace kavori::wizard {

namespace {

constexpr unsigned kFinishWaitMs = 3000;

// The first model, in either mode, comes back by replugging its USB cord alone; the others need
// their power cord replugged too.
bool AsksForUsbCordOnly(std::uint16_t productId) {
  return productId == firmware::kNormalModeProductIds[0] ||
         productId == firmware::kLoaderModeProductIds[0];
}

std::string InformationPage(const firmware::FirmwareInfo& info, bool loaderMode) {
  if (loaderMode) {
    return "Kavori firmware information:\n\nFile: " + info.fileName +
           "\nFile firmware version: " + info.fileVersion + " \n\nDevice P/N: " + info.partNumber +
           "\nDevice S/N: " + info.serialNumber + "\n\nTo continue, Click 'Next'";
  }
  return "Kavori firmware information:\n\nFile: " + info.fileName +
         "\nFile firmware version: " + info.fileVersion +
         " \nDevice firmware version: " + info.deviceVersion + "\nDevice P/N: " + info.partNumber +
         "\nDevice S/N: " + info.serialNumber + "\n\nTo continue, Click 'Next'";
}

}  // namespace

const char* FirmwareSearchStatus(firmware::FirmwareSearchResult result) {
  switch (result) {
    case firmware::FirmwareSearchResult::NoFile:
      return "Firmware file not found !";
    case firmware::FirmwareSearchResult::InvalidFile:
      return "Invalid firmware hex file !";
    case firmware::FirmwareSearchResult::TypeError:
      return "Firmware file type error !";
    case firmware::FirmwareSearchResult::TargetError:
      return "Firmware file target error !";
    case firmware::FirmwareSearchResult::Suitable:
      break;
  }
  return "Firmware file version and device version check";
}

const char* DeviceSearchRefusal(int openResult) {
  return openResult == device::kDeviceInUse ? "Kavori Device is in use by other application."
                                            : "Kavori Device was NOT found.";
}

Wizard::Wizard(WizardView& view, UiPoster& poster, device::DeviceLink& link,
               std::string firmwareDirectory)
    : view_(view),
      poster_(poster),
      link_(link),
      firmwareDirectory_(std::move(firmwareDirectory)),
      run_(link),
      watcher_(link, WatchingReconnect),
      self_(std::make_shared<Wizard*>(this)) {}

Wizard::~Wizard() { Teardown(); }

std::uint32_t Wizard::ConnectedDevices(std::vector<std::string>* instances) {
  std::uint32_t count = 0;
  device::CountConnectedDevices(link_.Services(), &count, instances);
  // Why a count failed is told by the start-up count that acts on it.
  link_.TakeDiagnostics();
  return count;
}

bool Wizard::Start() {
  link_.TakeDiagnostics();
  std::uint32_t count = 0;
  device::CountConnectedDevices(link_.Services(), &count);
  if (count == 0) {
    view_.ShowStartupMessage("No Kavori Device found.\nPlease connect one, and then try again.");
    view_.ShowDiagnostics(link_.TakeDiagnostics());
    return false;
  }
  if (count >= 2) {
    view_.ShowStartupMessage(
        "More then one Kavori Devices are connected.\nPlease make sure that only the Kavori that "
        "needs a firmware upgrade is connected.\nThen try again.");
    view_.ShowDiagnostics(link_.TakeDiagnostics());
    return false;
  }
  step_ = static_cast<std::uint8_t>(Step::Welcome);
  EnterStep(step_);
  run_.ClearProgrammingActive();
  return true;
}

void Wizard::EnterStep(unsigned step) {
  // What an earlier entry left going no longer applies.
  ++entryPass_;
  entryInProgress_ = false;
  view_.StepEntered(step);
  view_.EnableFinish(false);
  view_.EnableBack(false);
  view_.EnableNext(false);
  switch (static_cast<Step>(static_cast<std::uint8_t>(step))) {
    case Step::Welcome:
      EnterWelcome();
      break;
    case Step::DeviceSearch:
      EnterDeviceSearch();
      break;
    case Step::FirmwareSearch:
      EnterFirmwareSearch();
      break;
    case Step::Preparing:
      EnterPreparing();
      break;
    case Step::Reconnected:
      EnterReconnected();
      break;
    case Step::Programming:
      EnterProgramming();
      break;
    case Step::Finished:
      EnterFinished();
      break;
    case Step::AwaitingProgramming:
      break;
  }
  // 8 and above have no page. An entry that goes on completes its page when it ends.
  if (!entryInProgress_) view_.PageComplete();
}

void Wizard::OnNext() {
  step_ = static_cast<std::uint8_t>(step_ + 1);
  EnterStep(step_);
}

void Wizard::OnBack() {
  step_ = static_cast<std::uint8_t>(step_ - 1);
  EnterStep(step_);
}

bool Wizard::OnFinish() {
  if (step_ != static_cast<std::uint8_t>(Step::Finished) || run_.ProgrammingFailed()) {
    if (!view_.AskYesNo("Close and exit ?")) return false;
  }
  WatchingReconnect = false;
  Status("Shutting down ...");
  // Also wakes a watcher in its settle pause: its advance would reach a closed wizard anyway. A
  // stopped watcher ends within one device search, so this bound is never reached in practice.
  watcher_.RequestReconnectWatcherStop();
  watcher_.WaitReconnectWatcher(kFinishWaitMs);
  return true;
}

bool Wizard::OnOK() { return !run_.ProgrammingActive(); }

bool Wizard::OnCancel() { return !run_.ProgrammingActive(); }

void Wizard::Teardown() {
  if (closed_) return;
  closed_ = true;
  watcher_.StopReconnectWatcher();
  StopFirmwareSearch();
  run_.JoinProgrammingRun();
  link_.CloseDeviceLink();
  image_.reset();
}

void Wizard::PostToUi(std::function<void()> task) {
  std::weak_ptr<Wizard*> weak = self_;
  poster_.Post([weak, task = std::move(task)] {
    const std::shared_ptr<Wizard*> self = weak.lock();
    if (self && !(*self)->closed_) task();
  });
}

// The colour comes from the run, decided when it set or cleared the flag.
void Wizard::RunStatus(const std::string& text, bool failed) {
  PostToUi([this, text, failed] { view_.SetStatus(text, failed, std::nullopt); });
}

void Wizard::RunProgress(int percent, const std::string& text, bool failed) {
  PostToUi([this, text, failed, percent] { view_.SetStatus(text, failed, percent); });
}

void Wizard::Status(const std::string& text) {
  view_.SetStatus(text, run_.ProgrammingFailed(), std::nullopt);
}

void Wizard::Message(const std::string& text) { view_.SetMessage(text, run_.ProgrammingFailed()); }

// Both workers end by adding one to the step and entering it, as Next does.
void Wizard::RunFinished() {
  PostToUi([this] { OnNext(); });
}

void Wizard::SeenBack() { seenBack_ = true; }

void Wizard::Reconnected() {
  PostToUi([this] { OnNext(); });
}

void Wizard::EnterWelcome() {
  link_.CloseDeviceLink();
  run_.ClearProgrammingActive();
  Status("Welcome");
  view_.EnableNext(true);
  Message(
      "Welcome to the Kavori firmware programming tool.\n\nPlease make sure that no other "
      "application is currently using the Kavori.\n\nTo continue, click 'Next'.");
  step_ = static_cast<std::uint8_t>(Step::Welcome);
}

void Wizard::EnterDeviceSearch() {
  link_.CloseDeviceLink();
  Status("Searching a Kavori Device ...");
  // What an earlier search or the reconnect watcher's polls said is not about this search.
  link_.TakeDiagnostics();
  const int r = link_.OpenDeviceLink(WatchingReconnect);
  if (r != device::kOk) {
    view_.EnableBack(true);
    if (r == device::kDeviceInUse) {
      Status(DeviceSearchRefusal(r));
      Message(
          "Kavori Device was NOT found.\n\nPlease Close Any Application that might using "
          "it.\n\nPlease click 'Back' and follow the prompted instructions.\n\nTo continue, click "
          "'Back'.");
    } else {
      Message(
          "Kavori Device was NOT found.\n\nPlease Click 'Back' and follow the prompted "
          "instructions.\n\nTo continue, click 'Back'.");
    }
    view_.ShowDiagnostics(link_.TakeDiagnostics());
    return;
  }
  const std::string deviceName = link_.DeviceInfo().ProductString.data();
  Message(deviceName +
          " Device was found.\n\nPlease Click 'Next' and follow the prompted "
          "instructions.\n\nTo continue, click 'Next'.");
  Status(deviceName + " Device was found.");
  view_.EnableNext(true);
}

void Wizard::EnterFirmwareSearch() {
  Status("Searching a Kavori firmware file ...");
  // No image stays loaded from an earlier pass, whatever this one finds.
  image_.reset();
  StopFirmwareSearch();
  const device::DeviceInfoRecord device = link_.DeviceInfo();
  firmware::TargetDevice target;
  target.serialString = device.SerialString;
  target.versionWord = device.VersionWord;
  const unsigned pass = entryPass_;
  entryInProgress_ = true;
  // Off the UI thread: the search pauses 1 ms per entry and reads whole files, and a cancel must
  // not wait behind it. The buttons stay disabled until its result is shown.
  auto search = [this, target, pass, pauses = link_.Services().pauses](std::stop_token stop) {
    auto selection = std::make_shared<firmware::FirmwareSelection>(
        firmwareFile_
            ? firmware::SelectNamedFirmware(firmwareDirectory_, *firmwareFile_, target, stop)
            : firmware::SelectFirmware(firmwareDirectory_, target, pauses, stop));
    if (selection->stopped) return;
    PostToUi([this, selection, pass] {
      if (pass == entryPass_) FirmwareSearchDone(std::move(*selection));
    });
  };
  try {
    search_ = std::jthread(search);
  } catch (const std::system_error&) {
    search(std::stop_token());
  }
}

void Wizard::StopFirmwareSearch() {
  if (!search_.joinable()) return;
  search_.request_stop();
  search_.join();
}

void Wizard::FirmwareSearchDone(firmware::FirmwareSelection selection) {
  entryInProgress_ = false;
  ShowFirmwareSearchResult(std::move(selection));
  view_.PageComplete();
}

void Wizard::ShowFirmwareSearchResult(firmware::FirmwareSelection selection) {
  using firmware::FirmwareSearchResult;
  info_ = std::move(selection.info);
  image_ = std::move(selection.image);
  switch (selection.result) {
    case FirmwareSearchResult::NoFile:
      Status(FirmwareSearchStatus(selection.result));
      view_.EnableBack(true);
      Message(
          "Kavori Device firmware file was NOT found.\n\nMake sure that a file that ends with "
          "'.hex' exists in this application's folder.\n\nPlease Click 'Back' and follow the "
          "prompted instructions.\n\nTo continue, click 'Back'.");
      return;
    case FirmwareSearchResult::InvalidFile:
      Status(FirmwareSearchStatus(selection.result));
      view_.EnableBack(true);
      Message(
          "Invalid firmware hex file.\n\nMake sure that a file that ends with.'hex' is a valid "
          "firmware file.\n\nPlease Click 'Back' and follow the prompted instructions.\n\nTo "
          "continue, click 'Back'.");
      view_.EnableFinish(true);
      return;
    case FirmwareSearchResult::TypeError:
      Status(FirmwareSearchStatus(selection.result));
      view_.EnableBack(true);
      Message(
          "Kavori firmware file is NOT correct.\n\nMake sure that a correct firmware file exists "
          "in this application's folder.\n\nPlease Click 'Back' and follow the prompted "
          "instructions.");
      return;
    case FirmwareSearchResult::TargetError:
      view_.EnableBack(false);
      Message(
          "The firmware file is not suitable for the target device.\n\n\nPlease click 'Finish'.");
      Status(FirmwareSearchStatus(selection.result));
      view_.EnableFinish(true);
      return;
    case FirmwareSearchResult::Suitable:
      Status(FirmwareSearchStatus(selection.result));
      Message(InformationPage(info_, link_.LoaderMode()));
      // A device already in its loader needs no preparation: the next Next programs it.
      if (link_.LoaderMode()) step_ = static_cast<std::uint8_t>(Step::AwaitingProgramming);
      view_.EnableFinish(true);
      view_.EnableNext(true);
      return;
  }
}

void Wizard::EnterPreparing() {
  Message("Preparing device for programming");
  Status("Preparing device ...");
  if (device::SendPrepare(link_) != device::kOk) {
    // The device did not get the command, so it will not come back in its loader: keep the
    // error on screen instead of asking the user to replug.
    Message(
        "Error preparing device for programming.\n\nPlease contact Brimsel support and provide "
        "the following information:\n0x62 command failed.");
    view_.EnableFinish(true);
    link_.CloseDeviceLink();
    return;
  }
  link_.CloseDeviceLink();
  // The device gets its pause as a timed continuation; the buttons stay disabled meanwhile.
  const unsigned pass = entryPass_;
  entryInProgress_ = true;
  std::weak_ptr<Wizard*> weak = self_;
  poster_.PostAfter(link_.Services().pauses.Duration(1500), [weak, pass] {
    const std::shared_ptr<Wizard*> self = weak.lock();
    if (self && !(*self)->closed_ && (*self)->entryPass_ == pass) (*self)->PreparingDone();
  });
}

void Wizard::PreparingDone() {
  entryInProgress_ = false;
  if (AsksForUsbCordOnly(link_.DeviceInfo().ProductId)) {
    Message(
        "Preparing device for programming is done.\n\nPlease disconnect the USB cord.\n Wait 10 "
        "seconds, and then reconnect the USB cord.\nThen follow the 'Found new hardware' wizard "
        "instructions.\nWhen done, click 'Next'.\n(The 'Next' button will be enabled only after "
        "reconnecting the device)");
  } else {
    Message(
        "Preparing device for programming is done.\n\nPlease disconnect the USB cord and then the "
        "Power cord.\n Wait 10 seconds, and then reconnect the Power cord and then USB cords in "
        "this order.\nThen follow the 'Found new hardware' wizard instructions.\nWhen done, click "
        "'Next'.\n(The 'Next' button will be enabled only after reconnecting the device)");
  }
  Status("Preparing device done, waiting for reconnect ...");
  view_.EnableFinish(true);
  WatchingReconnect = true;
  seenBack_ = false;
  watcher_.StartReconnectWatcher(*this);
  view_.PageComplete();
}

void Wizard::EnterReconnected() {
  view_.Beep();
  view_.BringToFront();
  Message("Kavori device is now reconnected.\n\nTo continue, click 'Next'.");
  Status("Device is reconnected.");
  step_ = static_cast<std::uint8_t>(step_ + 1);
  view_.EnableNext(true);
}

void Wizard::EnterProgramming() {
  // Without a chosen image (no way through the pages leads here) nothing is sent: it fails like
  // a run that cannot start.
  const bool started = image_ && run_.StartProgrammingRun(*this, std::move(*image_));
  image_.reset();
  if (started) {
    Message(
        "Firmware programming is now Active.\n\nPlease DO NOT turn the computer off and\nDO NOT "
        "unplug the Kavori Device during firmware programming process.");
    return;
  }
  run_.SetProgrammingFailed();
  Message(
      "Error starting device programming.\n\nPlease contact Brimsel support and provide the "
      "following information:\nEgnition failed.");
  Status("Egnition failed.");
  view_.EnableFinish(true);
}

void Wizard::EnterFinished() {
  if (run_.ProgrammingFailed()) {
    Message(
        "Error programming device.\n\nPlease contact Brimsel support and provide the information "
        "listed below.");
  } else {
    Message("Programming completed successfully.\n\nTo close and Exit, Click 'Finish'.");
  }
  view_.EnableFinish(true);
}

}  // namespace kavori::wizard
