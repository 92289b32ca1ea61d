// The events of `kavori-flash --json`: one compact JSON object per line.
#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "frontend/session.hpp"

namespace kavori::cli {

enum class Button { Next, Back, Finish };
// What the tool presses for the user.
enum class Press { Next, Finish, Cancel };

// The simulated device at the end of a run.
using DeviceReport = frontend::SimulatedDevice;

// The version of the stream's shape (docs/kavori-flash-events.schema.json): fields may be added
// within it; one removed or changed makes the next number.
inline constexpr int kEventSchema = 1;

// The image the firmware search chose.
struct ImageReport {
  std::string path;
  std::uint64_t size = 0;
  std::string sha256;  // lower-case hex
  std::string productCode;
  std::string version;  // as the information page shows it
};

// The device the device search accepted.
struct TargetReport {
  std::uint16_t productId = 0;
  bool loaderMode = false;
  std::uint16_t release = 0;
  std::string version;  // as the information page shows it; meaningful in normal mode
  std::string partNumber;
  std::string serial;
};

enum class Outcome { Ok, Failed, Refused };

// How many devices of a --repeat series ended each way.
struct Summary {
  unsigned programmed = 0;
  unsigned failed = 0;
  unsigned refused = 0;
};

// How one device ended.
struct ResultReport {
  std::string serial;  // empty when no device was accepted
  Outcome outcome = Outcome::Failed;
  int exitCode = 0;
  std::optional<unsigned> failedStep;  // the step the wizard ended on, unless ok
  std::string status;                  // the last status line
  double seconds = 0;
};

// An event's fields in the order they are written, "event" first, so that the lines read the
// same to a person as to a parser.
using JsonEvent = std::vector<std::pair<const char*, QJsonValue>>;

// The event as one compact JSON object on one line, '\n' included.
QByteArray JsonLine(const JsonEvent& event);

JsonEvent EnterEvent(unsigned step);
// "status", "message", "box" or "diagnostic" with its text.
JsonEvent TextEvent(const char* event, const std::string& text);
JsonEvent ButtonEvent(Button button, bool enabled);
// An event without fields: "beep", "foreground".
JsonEvent BareEvent(const char* event);
JsonEvent QuestionEvent(const std::string& text, bool answer);
JsonEvent PressEvent(Press button);
// Without a device (the world has none) only "present": false.
JsonEvent DeviceEvent(const std::optional<DeviceReport>& device);
JsonEvent ExitEvent(int code);
JsonEvent StartEvent(const std::string& version, const std::vector<std::string>& argv);
JsonEvent ImageEvent(const ImageReport& image);
JsonEvent TargetEvent(const TargetReport& target);
// `bytes` of `totalBytes` sent, as `percent` has it.
JsonEvent ProgressEvent(int percent, std::uint64_t bytes, std::uint64_t totalBytes);
JsonEvent ResultEvent(const ResultReport& result);
JsonEvent SummaryEvent(const Summary& summary);

// What the run log keeps of one device (--log, the history).
struct LogRecord {
  ResultReport result;
  std::string time;  // ISO 8601, UTC, when the device ended
  bool simulated = false;
  std::optional<TargetReport> before;  // as the device search accepted it
  TargetReport after;                  // as the tool last saw it
  std::optional<ImageReport> image;
  std::vector<std::pair<unsigned, double>> stepSeconds;  // each step entered, in order
  std::vector<std::string> diagnostics;
};
// The record as one compact JSON line, '\n' included.
QByteArray LogLine(const LogRecord& record);

}  // namespace kavori::cli
