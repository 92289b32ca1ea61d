#include "cli/reporter.hpp"

#include <QElapsedTimer>
#include <cstdio>

#include "cli/exit_codes.hpp"
#include "cli/text.hpp"
#include "frontend/exit_codes.hpp"
#include "frontend/text.hpp"
#include "wizard/version.hpp"

namespace kavori::cli {

namespace {

constexpr char kToolName[] = "kavori-flash";

class HumanReporter final : public Reporter {
 public:
  HumanReporter(std::ostream& out, std::ostream& err, bool terminal)
      : out_(out), err_(err), terminal_(terminal) {}

  void SetValueSource(ValueSource source) override { values_ = std::move(source); }

  void StepEntered(unsigned) override {}

  void Status(const std::string& text, bool failed, std::optional<int> progressPercent) override {
    if (terminal_) {
      if (progressPercent) {
        const std::string line = ProgressLine(*progressPercent, Shown(text));
        // Pads over a longer earlier line.
        const std::size_t width = std::max(line.size(), progressWidth_);
        out_ << '\r' << line << std::string(width - line.size(), ' ') << std::flush;
        progressWidth_ = width;
        return;
      }
    }
    Line(failed ? err_ : out_, "Status: " + Shown(text));
  }

  void Message(const std::string& text, bool failed) override {
    Line(failed ? err_ : out_, "\n" + Shown(text) + "\n");
  }

  void ButtonChanged(Button, bool) override {}

  void Beep() override {
    if (terminal_) out_ << '\a' << std::flush;
  }

  void Foreground() override {}

  void StartupBox(const std::string& text) override { Line(err_, Shown(text)); }

  void Question(const std::string& text, bool answer) override {
    Line(out_, Shown(text) + (answer ? " Yes" : " No"));
  }

  void Prompt(const std::string& text) override {
    EndOpenLine();
    out_ << Shown(text) << " [y/N] " << std::flush;
    promptOpen_ = true;
  }

  // The user typed the answer, and the line break, on the terminal already.
  void Answered(const std::string&, bool) override { promptOpen_ = false; }

  void Pressed(Press button) override {
    switch (button) {
      case Press::Next:
        return Line(out_, "> Next");
      case Press::Finish:
        return Line(out_, "> Finish");
      case Press::Cancel:
        return Line(out_, "> Cancel");
    }
  }

  void Notice(const std::string& text) override { Line(out_, Shown(text)); }

  void Warning(const std::string& text) override {
    Line(err_, std::string(kToolName) + ": " + frontend::TerminalValue(text));
  }

  // One line each, naming paths and device strings: nothing in it may break the line.
  void Diagnostic(const std::string& text) override {
    Line(err_, std::string(kToolName) + ": " + frontend::TerminalValue(text));
  }

  // An open line under the status, redrawn in place until the next line is written.
  void Waited(const std::string&, unsigned seconds) override {
    if (!terminal_) return;
    const std::string line = "  waiting for the device: " + std::to_string(seconds) + " s";
    const std::size_t width = std::max(line.size(), progressWidth_);
    out_ << '\r' << line << std::string(width - line.size(), ' ') << std::flush;
    progressWidth_ = width;
  }

  void Device(const std::optional<DeviceReport>& device) override {
    if (!device) {
      Line(out_, "Simulated Kavori: none");
      return;
    }
    char identity[96];
    std::snprintf(identity, sizeof identity, "product id 0x%04X, release 0x%04X",
                  static_cast<unsigned>(device->productId), static_cast<unsigned>(device->release));
    Line(out_, std::string("Simulated Kavori: ") + (device->present ? "present" : "absent") + ", " +
                   (device->loaderMode ? "loader" : "normal") + " mode, " + identity +
                   ", flash SHA-256 " + device->flashSha256);
  }

  void Summary(const cli::Summary& summary) override {
    Line(out_, "Devices: " + std::to_string(summary.programmed) + " programmed, " +
                   std::to_string(summary.failed) + " failed, " + std::to_string(summary.refused) +
                   " refused");
  }

  void Exit(int code) override {
    if (code != frontend::kExitProgrammed)
      Line(err_, std::string(kToolName) + ": " + ExitReason(code) + " (exit code " +
                     std::to_string(code) + ")");
  }

 private:
  // Ends a progress bar, or a question left unanswered, before anything else is written.
  void EndOpenLine() {
    if (progressWidth_ == 0 && !promptOpen_) return;
    out_ << '\n' << std::flush;
    progressWidth_ = 0;
    promptOpen_ = false;
  }

  // A text of the wizard or the tool with the values it holds kept on their line.
  std::string Shown(const std::string& text) const {
    return frontend::TerminalText(text, values_ ? values_() : std::vector<std::string>());
  }

  void Line(std::ostream& stream, const std::string& text) {
    EndOpenLine();
    stream << text << '\n' << std::flush;
  }

  std::ostream& out_;
  std::ostream& err_;
  const bool terminal_;
  ValueSource values_;
  std::size_t progressWidth_ = 0;  // 0 while no progress bar is open
  bool promptOpen_ = false;        // the cursor stands behind an unanswered question
};

class JsonReporter final : public Reporter {
 public:
  JsonReporter(std::ostream& out, std::ostream& err) : out_(out), err_(err) { clock_.start(); }

  void Started(const std::vector<std::string>& argv) override {
    Emit(StartEvent(wizard::kVersionText, argv));
  }
  void Target(const frontend::TargetReport& target) override { Emit(TargetEvent(target)); }
  void Image(const frontend::ImageReport& image) override {
    imageSize_ = image.size;
    Emit(ImageEvent(image));
  }
  void Result(const frontend::ResultReport& result) override { Emit(ResultEvent(result)); }
  void Summary(const cli::Summary& summary) override { Emit(SummaryEvent(summary)); }
  void StepEntered(unsigned step) override { Emit(EnterEvent(step)); }
  // The status line stays as the page has it; the number goes out as a number beside it.
  void Status(const std::string& text, bool, std::optional<int> progressPercent) override {
    Emit(TextEvent("status", text));
    if (progressPercent)
      Emit(ProgressEvent(*progressPercent,
                         imageSize_ * static_cast<unsigned>(*progressPercent) / 100, imageSize_));
  }
  void Message(const std::string& text, bool) override { Emit(TextEvent("message", text)); }
  void ButtonChanged(Button button, bool enabled) override { Emit(ButtonEvent(button, enabled)); }
  void Beep() override { Emit(BareEvent("beep")); }
  void Foreground() override { Emit(BareEvent("foreground")); }
  void StartupBox(const std::string& text) override { Emit(TextEvent("box", text)); }
  void Question(const std::string& text, bool answer) override {
    Emit(QuestionEvent(text, answer));
  }
  // stdout carries only events: the question goes to the terminal through stderr.
  void Prompt(const std::string& text) override {
    err_ << frontend::TerminalText(text) << " [y/N] " << std::flush;
  }
  void Answered(const std::string& text, bool answer) override {
    Emit(QuestionEvent(text, answer));
  }
  void Pressed(Press button) override { Emit(PressEvent(button)); }
  void Notice(const std::string&) override {}
  void Warning(const std::string& text) override {
    err_ << kToolName << ": " << frontend::TerminalValue(text) << '\n' << std::flush;
  }
  void Diagnostic(const std::string& text) override { Emit(TextEvent("diagnostic", text)); }
  void Waited(const std::string&, unsigned) override {}
  void Device(const std::optional<DeviceReport>& device) override { Emit(DeviceEvent(device)); }
  void Exit(int code) override { Emit(ExitEvent(code)); }

 private:
  // Every event carries `t`, the seconds since the tool started, last.
  void Emit(JsonEvent event) {
    event.emplace_back("t", static_cast<double>(clock_.nsecsElapsed()) / 1e9);
    const QByteArray line = JsonLine(event);
    out_.write(line.constData(), line.size());
    out_.flush();
  }

  std::ostream& out_;
  std::ostream& err_;
  QElapsedTimer clock_;
  std::uint64_t imageSize_ = 0;  // of the chosen image, for the progress in bytes
};

}  // namespace

std::unique_ptr<Reporter> MakeHumanReporter(std::ostream& out, std::ostream& err, bool terminal) {
  return std::make_unique<HumanReporter>(out, err, terminal);
}

std::unique_ptr<Reporter> MakeJsonReporter(std::ostream& out, std::ostream& err) {
  return std::make_unique<JsonReporter>(out, err);
}

}  // namespace kavori::cli
