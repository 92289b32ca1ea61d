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

}  // namespace kavori::cli
