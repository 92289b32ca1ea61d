// The events of `kavori-flash --json`: one compact JSON object per line.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <cstdint>
#include <optional>
#include <string>

namespace kavori::cli {

enum class Button { Next, Back, Finish };
// What the tool presses for the user.
enum class Press { Next, Finish, Cancel };

// The simulated device at the end of a run.
struct DeviceReport {
  bool present = false;
  bool loaderMode = false;
  std::uint16_t productId = 0;
  std::uint16_t release = 0;
  std::string flashSha256;  // lower-case hex of SHA-256 over the flash bytes
};

// The object as one line, '\n' included.
QByteArray JsonLine(const QJsonObject& event);

QJsonObject EnterEvent(unsigned step);
// "status", "message" or "box" with the wizard's text.
QJsonObject TextEvent(const char* event, const std::string& text);
QJsonObject ButtonEvent(Button button, bool enabled);
// An event without fields: "beep", "foreground".
QJsonObject BareEvent(const char* event);
QJsonObject QuestionEvent(const std::string& text, bool answer);
QJsonObject PressEvent(Press button);
// Without a device (the world has none) only "present": false.
QJsonObject DeviceEvent(const std::optional<DeviceReport>& device);
QJsonObject ExitEvent(int code);

}  // namespace kavori::cli
