// Runs the wizard like a user who presses Next: after every UI task that changed the page it
// decides, from the page alone, what to press (see autopilot.hpp), asks before the device is
// changed, bounds the wait for the replugged device and turns the termination signals into the
// cancel path. Ends the event loop with the exit code after Wizard::Teardown. UI thread only.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "cli/autopilot.hpp"
#include "cli/reporter.hpp"
#include "cli/terminal_view.hpp"
#include "frontend/run_recorder.hpp"
#include "wizard/wizard.hpp"

namespace kavori::cli {

inline constexpr char kConfirmationQuestion[] = "Program the device now?";

struct DriverSettings {
  bool dryRun = false;
  bool yes = false;
  bool interactive = false;  // stdin and stdout are terminals
  unsigned waitSeconds = 120;
  unsigned waitForDeviceSeconds = 0;  // 0: a missing device ends the tool at once
  bool allowReinstall = false;
  bool allowOlder = false;
  std::string firmwareDirectory;  // where the chosen image lies, for its path
  // Keeps the run log's line of each device (--log, the history); none when empty.
  std::function<void(const QByteArray& line)> keepRecord;
  bool simulated = false;
  // --repeat: one device after another, `repeatCount` of them (0: until interrupted).
  bool repeat = false;
  unsigned repeatCount = 0;
};

class Driver final : public QObject {
 public:
  // `nextWizard` makes the wizard for the next device (--repeat); the previous one is torn down.
  Driver(wizard::Wizard& wizard, TerminalView& view, Reporter& reporter, DriverSettings settings,
         std::function<wizard::Wizard&()> nextWizard = {});

  // Starts the wizard; call once the event loop runs.
  void Begin();
  // SIGINT, SIGQUIT, SIGTERM or SIGHUP arrived.
  void Interrupt();

 private:
  // Starts the wizard, or refuses as its start-up count does.
  void StartWizard();
  // One look for a device while waiting for the first to be connected.
  void PollForDevice();
  void ScheduleDecision();
  void DecideNow();
  void AskConfirmation();
  void ReadAnswer();
  void Answer(bool yes);
  void ReconnectTimedOut();
  // Leaves through Finish (PressFinish) or the cancel path (Cancel).
  void End(Move how, int code);
  // The device's run has ended with `code`: reports it and goes on to the next device, or ends.
  void Quit(int code);
  // Ends the event loop; with --repeat after the summary, with its exit code.
  void Finish(int code);
  Situation CurrentSituation() const;
  Policy CurrentPolicy() const;
  // Reports the accepted device and the chosen image once each, when their pages show them.
  void ReportFacts(const Situation& situation);
  // The line that names the two versions when the image is not newer than the device's.
  void SayVersions(ImageVersion version, bool refused);

  wizard::Wizard* wizard_;  // the current device's
  std::function<wizard::Wizard&()> nextWizard_;
  TerminalView& view_;
  Reporter& reporter_;
  const DriverSettings settings_;
  bool confirmed_;
  bool decisionPending_ = false;
  bool asking_ = false;
  bool ended_ = false;
  bool started_ = false;  // the wizard is past its start-up count
  // Where a series stands between two devices.
  enum class Between { None, Unplug, Next } between_ = Between::None;
  Summary summary_;
  std::optional<int> firstFailure_;
  std::string lastSerial_;          // of the device that ended last
  frontend::RunRecorder recorder_;  // what the run log keeps of the current device
  std::string endStatus_;  // the status line when the tool chose to end, before Finish's own
  std::string answer_;
  QTimer reconnectTimer_;
  QTimer devicePoll_;         // while waiting for a device at start
  QElapsedTimer deviceWait_;  // since that wait began
  std::unique_ptr<QSocketNotifier> stdinNotifier_;
};

}  // namespace kavori::cli
