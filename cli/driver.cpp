#include "cli/driver.hpp"

#include <QCoreApplication>

#include "cli/text.hpp"
#include "frontend/exit_codes.hpp"
#include "platform/terminal_io.hpp"

namespace kavori::cli {

namespace {
constexpr int kStdin = 0;
// A longer answer is no answer to a yes/no question.
constexpr std::size_t kMaxAnswerLength = 256;
// How often the connected devices are counted while waiting for one; the reconnect watcher
// looks as often.
constexpr int kDevicePollMs = 500;
}  // namespace

Driver::Driver(wizard::Wizard& wizard, TerminalView& view, Reporter& reporter,
               DriverSettings settings, std::function<wizard::Wizard&()> nextWizard)
    : wizard_(&wizard),
      nextWizard_(std::move(nextWizard)),
      view_(view),
      reporter_(reporter),
      settings_(settings),
      confirmed_(settings.yes),
      recorder_("kavori-flash", settings.simulated, settings.firmwareDirectory) {
  view_.OnPageChange([this] { ScheduleDecision(); });
  reconnectTimer_.setSingleShot(true);
  connect(&devicePoll_, &QTimer::timeout, this, [this] { PollForDevice(); });
  connect(&reconnectTimer_, &QTimer::timeout, this, [this] { ReconnectTimedOut(); });
}

void Driver::Begin() {
  if (ended_) return;  // a signal that was pending at start has ended the tool already
  if (settings_.waitForDeviceSeconds > 0 && wizard_->ConnectedDevices() == 0) {
    reporter_.Notice("Waiting up to " + std::to_string(settings_.waitForDeviceSeconds) +
                     " s for a Kavori to be connected ...");
    deviceWait_.start();
    devicePoll_.start(kDevicePollMs);
    return;
  }
  StartWizard();
}

void Driver::PollForDevice() {
  if (ended_) return;
  std::vector<std::string> instances;
  const std::uint32_t count = wizard_->ConnectedDevices(&instances);
  switch (between_) {
    case Between::Unplug: {
      // A quick swap may fall between two looks: another serial listed means the last device is
      // gone too.
      const bool swapped = count == 1 && !lastSerial_.empty() &&
                           instances.front().find(lastSerial_) == std::string::npos;
      if (count != 0 && !swapped) return;
      between_ = Between::Next;
      reporter_.Notice("Waiting for the next Kavori ...");
      if (!swapped) return;
      break;
    }
    case Between::Next:
      if (count == 0) return;
      break;
    case Between::None: {
      const bool late = deviceWait_.elapsed() >= settings_.waitForDeviceSeconds * 1000LL;
      if (!late && count == 0) return;
      break;
    }
  }
  devicePoll_.stop();
  between_ = Between::None;
  // The start-up count decides, as without the wait: none (late) or two end with exit code 2.
  StartWizard();
}

void Driver::StartWizard() {
  started_ = false;
  endStatus_.clear();
  confirmed_ = settings_.yes;
  view_.TakeDiagnostics();
  recorder_.Begin();
  if (!wizard_->Start()) {
    Quit(frontend::kExitDeviceCount);
    return;
  }
  started_ = true;
}

void Driver::ReportFacts(const Situation& situation) {
  if (situation.page.enteredStep < 0) return;
  const auto step = static_cast<unsigned>(situation.page.enteredStep);
  recorder_.StepEntered(step);
  const frontend::RunRecorder::Kept kept = recorder_.PageShown(*wizard_, step, situation.page.next);
  if (kept.target) reporter_.Target(*kept.target);
  if (kept.image) reporter_.Image(*kept.image);
}

void Driver::Interrupt() {
  if (ended_) return;
  // Between two devices nothing is under way: the series ends at once.
  if (between_ != Between::None) {
    Finish(frontend::kExitInterrupted);
    return;
  }
  if (wizard_->ProgrammingActive()) {
    reporter_.Warning(
        "the device is being programmed; an interruption now could leave it unusable, so the "
        "tool goes on");
    return;
  }
  End(Move::Cancel, frontend::kExitInterrupted);
}

void Driver::ScheduleDecision() {
  if (decisionPending_ || ended_) return;
  decisionPending_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        decisionPending_ = false;
        DecideNow();
      },
      Qt::QueuedConnection);
}

Situation Driver::CurrentSituation() const {
  Situation situation;
  situation.page = view_.CurrentPage();
  situation.entryInProgress = wizard_->EntryInProgress();
  situation.watchingReconnect = wizard_->WaitingForDevice();
  situation.programmingFailed = wizard_->ProgrammingFailed();
  const firmware::FirmwareInfo& info = wizard_->Information();
  if (situation.page.enteredStep == static_cast<int>(wizard::Step::FirmwareSearch) &&
      situation.page.next)
    situation.imageVersion = CompareImageVersion(wizard_->DeviceInLoader(), info.fileVersionWord,
                                                 info.deviceVersionWord);
  return situation;
}

Policy Driver::CurrentPolicy() const {
  Policy policy;
  policy.dryRun = settings_.dryRun;
  policy.confirmed = confirmed_;
  policy.interactive = settings_.interactive;
  policy.unattended = settings_.yes;
  policy.allowReinstall = settings_.allowReinstall;
  policy.allowOlder = settings_.allowOlder;
  return policy;
}

void Driver::SayVersions(ImageVersion version, bool refused) {
  const firmware::FirmwareInfo& info = wizard_->Information();
  const bool same = version == ImageVersion::Same;
  std::string line = "the image has firmware version " + info.fileVersion + ", the device " +
                     info.deviceVersion + (same ? ": the same version" : ": an older version");
  if (refused)
    line += same ? "; not programmed again without --allow-reinstall"
                 : "; not programmed without --allow-older";
  reporter_.Warning(line);
}

void Driver::DecideNow() {
  // A decision queued by the last device's final page is not about the next device.
  if (ended_ || asking_ || !started_ || between_ != Between::None) return;
  const Situation situation = CurrentSituation();
  ReportFacts(situation);
  const Decision decision = Decide(situation, CurrentPolicy());
  if (decision.move != Move::AwaitReconnect) reconnectTimer_.stop();
  switch (decision.move) {
    case Move::Wait:
      return;
    case Move::PressNext:
      reporter_.Pressed(Press::Next);
      wizard_->OnNext();
      return;
    case Move::AskConfirmation:
      if (situation.imageVersion == ImageVersion::Same ||
          situation.imageVersion == ImageVersion::Older)
        SayVersions(situation.imageVersion, false);
      AskConfirmation();
      return;
    case Move::AwaitReconnect:
      if (!reconnectTimer_.isActive()) {
        reporter_.Notice("Waiting up to " + std::to_string(settings_.waitSeconds) +
                         " s for the device to come back ...");
        reconnectTimer_.start(static_cast<int>(settings_.waitSeconds * 1000));
      }
      return;
    case Move::PressFinish:
    case Move::Cancel:
      if (decision.exitCode == frontend::kExitVersionRefused)
        SayVersions(situation.imageVersion, true);
      End(decision.move, decision.exitCode);
      return;
  }
}

void Driver::AskConfirmation() {
  asking_ = true;
  answer_.clear();
  reporter_.Prompt(kConfirmationQuestion);
  if (!stdinNotifier_) {
    stdinNotifier_ = std::make_unique<QSocketNotifier>(kStdin, QSocketNotifier::Read);
    connect(stdinNotifier_.get(), &QSocketNotifier::activated, this, [this] { ReadAnswer(); });
  }
  stdinNotifier_->setEnabled(true);
}

void Driver::ReadAnswer() {
  char buffer[128];
  const auto count = platform::host::ReadSome(kStdin, buffer, sizeof buffer);
  if (!count || *count == 0) {
    Answer(false);  // end of input or a broken terminal: not confirmed
    return;
  }
  answer_.append(buffer, *count);
  const std::size_t end = answer_.find('\n');
  if (end != std::string::npos)
    Answer(IsYes(std::string_view(answer_).substr(0, end)));
  else if (answer_.size() > kMaxAnswerLength)
    Answer(false);
}

void Driver::Answer(bool yes) {
  asking_ = false;
  stdinNotifier_->setEnabled(false);
  reporter_.Answered(kConfirmationQuestion, yes);
  if (!yes) {
    End(Move::Cancel, frontend::kExitNotConfirmed);
    return;
  }
  confirmed_ = true;
  ScheduleDecision();
}

void Driver::ReconnectTimedOut() {
  if (ended_ || asking_) return;
  Policy policy;
  policy.confirmed = true;
  // The wait is for the device to come back; the settle and the reopening after that are the
  // wizard's own and end by themselves.
  if (wizard_->DeviceSeenBack()) return;
  if (Decide(CurrentSituation(), policy).move == Move::AwaitReconnect)
    End(Move::PressFinish, frontend::kExitNoReconnect);
  else
    ScheduleDecision();
}

void Driver::End(Move how, int code) {
  if (endStatus_.empty()) endStatus_ = view_.LastStatus();
  if (asking_) {
    asking_ = false;
    stdinNotifier_->setEnabled(false);
  }
  if (how == Move::PressFinish) {
    reporter_.Pressed(Press::Finish);
    if (!wizard_->OnFinish()) return;
  } else {
    reporter_.Pressed(Press::Cancel);
    // Refused only while a programming run is active; its end changes the page again.
    if (!wizard_->OnCancel()) return;
  }
  Quit(code);
}

void Driver::Quit(int code) {
  devicePoll_.stop();
  reconnectTimer_.stop();
  if (started_) {
    const frontend::ResultReport result =
        recorder_.Result(*wizard_, code, static_cast<unsigned>(view_.CurrentPage().enteredStep),
                         endStatus_.empty() ? view_.LastStatus() : endStatus_);
    reporter_.Result(result);
    lastSerial_ = result.serial;
    if (settings_.keepRecord)
      settings_.keepRecord(
          frontend::LogLine(recorder_.Record(*wizard_, result, view_.TakeDiagnostics())));
    ++(result.outcome == frontend::Outcome::Ok       ? summary_.programmed
       : result.outcome == frontend::Outcome::Failed ? summary_.failed
                                                     : summary_.refused);
    if (code != frontend::kExitProgrammed && !firstFailure_) firstFailure_ = code;
  }
  wizard_->Teardown();
  const unsigned handled = summary_.programmed + summary_.failed + summary_.refused;
  const bool more = settings_.repeat && nextWizard_ && code != frontend::kExitInterrupted &&
                    (settings_.repeatCount == 0 || handled < settings_.repeatCount);
  if (!more) {
    Finish(code);
    return;
  }
  // The next device gets a wizard of its own, as a new start of the tool would.
  wizard_ = &nextWizard_();
  between_ = Between::Unplug;
  reporter_.Notice("Waiting for the device to be unplugged ...");
  devicePoll_.start(kDevicePollMs);
}

void Driver::Finish(int code) {
  ended_ = true;
  devicePoll_.stop();
  between_ = Between::None;
  if (settings_.repeat) {
    reporter_.Summary(summary_);
    // Ending the series between devices is its normal end: the devices decide the code.
    const unsigned handled = summary_.programmed + summary_.failed + summary_.refused;
    if (firstFailure_)
      code = *firstFailure_;
    else if (handled > 0)
      code = frontend::kExitProgrammed;
  }
  QCoreApplication::exit(code);
}

}  // namespace kavori::cli
