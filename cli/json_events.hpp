// The events of `kavori-flash --json`: one compact JSON object per line.
#pragma once

#include <QByteArray>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "frontend/run_record.hpp"
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

// How many devices of a --repeat series ended each way.
struct Summary {
  unsigned programmed = 0;
  unsigned failed = 0;
  unsigned refused = 0;
};

// An event's fields in the order they are written, "event" first.
using JsonEvent = frontend::JsonFields;

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
JsonEvent ImageEvent(const frontend::ImageReport& image);
JsonEvent TargetEvent(const frontend::TargetReport& target);
// `bytes` of `totalBytes` sent, as `percent` has it.
JsonEvent ProgressEvent(int percent, std::uint64_t bytes, std::uint64_t totalBytes);
JsonEvent ResultEvent(const frontend::ResultReport& result);
JsonEvent SummaryEvent(const Summary& summary);

}  // namespace kavori::cli
