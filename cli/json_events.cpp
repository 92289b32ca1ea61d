#include "cli/json_events.hpp"

#include <QJsonDocument>

#include "cli/text.hpp"

namespace kavori::cli {

namespace {

QString ButtonName(Button button) {
  switch (button) {
    case Button::Next:
      return QStringLiteral("next");
    case Button::Back:
      return QStringLiteral("back");
    case Button::Finish:
      return QStringLiteral("finish");
  }
  return {};
}

QString PressName(Press button) {
  switch (button) {
    case Press::Next:
      return QStringLiteral("next");
    case Press::Finish:
      return QStringLiteral("finish");
    case Press::Cancel:
      return QStringLiteral("cancel");
  }
  return {};
}

}  // namespace

QByteArray JsonLine(const QJsonObject& event) {
  return QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n';
}

QJsonObject EnterEvent(unsigned step) {
  return {{"event", "enter"}, {"step", static_cast<qint64>(step)}};
}

QJsonObject TextEvent(const char* event, const std::string& text) {
  return {{"event", QString::fromLatin1(event)}, {"text", DecodeText(text)}};
}

QJsonObject ButtonEvent(Button button, bool enabled) {
  return {{"event", "button"}, {"button", ButtonName(button)}, {"enabled", enabled}};
}

QJsonObject BareEvent(const char* event) { return {{"event", QString::fromLatin1(event)}}; }

QJsonObject QuestionEvent(const std::string& text, bool answer) {
  return {{"event", "question"}, {"text", DecodeText(text)}, {"answer", answer ? "yes" : "no"}};
}

QJsonObject PressEvent(Press button) { return {{"event", "press"}, {"button", PressName(button)}}; }

QJsonObject DeviceEvent(const std::optional<DeviceReport>& device) {
  if (!device) return {{"event", "device"}, {"present", false}};
  return {{"event", "device"},
          {"present", device->present},
          {"mode", device->loaderMode ? "loader" : "normal"},
          {"product_id", device->productId},
          {"release", device->release},
          {"flash_sha256", QString::fromStdString(device->flashSha256)}};
}

QJsonObject ExitEvent(int code) { return {{"event", "exit"}, {"code", code}}; }

}  // namespace kavori::cli
