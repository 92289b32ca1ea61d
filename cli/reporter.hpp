// Where kavori-flash writes what happens: readable text, or JSON lines (--json). Both write to
// the streams they are given (stdout and stderr in the tool) and flush after every event, so the
// order on a terminal is the order of events. UI thread only.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/json_events.hpp"

namespace kavori::cli {

// The values from the device and the chosen file that the texts may hold now.
using ValueSource = std::function<std::vector<std::string>()>;

class Reporter {
 public:
  virtual ~Reporter() = default;
  // Where human output learns which parts of a text are values, to show them on one line; the
  // JSON stream keeps every value exact and ignores it.
  virtual void SetValueSource(ValueSource source) { static_cast<void>(source); }
  // The first event: the tool's own command line.
  virtual void Started(const std::vector<std::string>& argv) { static_cast<void>(argv); }
  // Facts the pages show only inside prose, for a machine reader: the accepted device, the
  // chosen image and how the device ended. Text output has them on its pages already.
  virtual void Target(const frontend::TargetReport& target) { static_cast<void>(target); }
  virtual void Image(const frontend::ImageReport& image) { static_cast<void>(image); }
  virtual void Result(const frontend::ResultReport& result) { static_cast<void>(result); }
  // The end of a --repeat series.
  virtual void Summary(const cli::Summary& summary) = 0;
  virtual void StepEntered(unsigned step) = 0;
  // `failed`: the programming run has failed (the dialog draws the status line red then).
  // `progressPercent`: the run's progress, with its progress texts.
  virtual void Status(const std::string& text, bool failed, std::optional<int> progressPercent) = 0;
  virtual void Message(const std::string& text, bool failed) = 0;
  virtual void ButtonChanged(Button button, bool enabled) = 0;
  virtual void Beep() = 0;
  virtual void Foreground() = 0;
  virtual void StartupBox(const std::string& text) = 0;
  // A question the tool answers itself ("Close and exit ?").
  virtual void Question(const std::string& text, bool answer) = 0;
  // A question put to the user: Prompt shows it, Answered records the answer.
  virtual void Prompt(const std::string& text) = 0;
  virtual void Answered(const std::string& text, bool answer) = 0;
  virtual void Pressed(Press button) = 0;
  // A remark for a human reader; JSON mode has no place for it.
  virtual void Notice(const std::string& text) = 0;
  // A remark on stderr, in both modes.
  virtual void Warning(const std::string& text) = 0;
  // The device has been silent for `seconds` since the status `text` of the programming run:
  // burn and verify can each take up to the reply time-out, and a user who sees nothing move
  // may unplug a working device. Shown on a terminal only; the JSON stream has no event for it.
  virtual void Waited(const std::string& text, unsigned seconds) = 0;
  // Why the start-up count or the device search failed: stderr, or a "diagnostic" event.
  virtual void Diagnostic(const std::string& text) = 0;
  virtual void Device(const std::optional<DeviceReport>& device) = 0;
  // The last event.
  virtual void Exit(int code) = 0;
};

// `terminal`: `out` is a terminal, so the programming progress is drawn as a bar on one line
// and Beep rings.
std::unique_ptr<Reporter> MakeHumanReporter(std::ostream& out, std::ostream& err, bool terminal);
std::unique_ptr<Reporter> MakeJsonReporter(std::ostream& out, std::ostream& err);

}  // namespace kavori::cli
