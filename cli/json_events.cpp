#include "cli/json_events.hpp"

#include <QJsonArray>
#include <QJsonDocument>

#include "frontend/text.hpp"

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

QByteArray JsonLine(const JsonEvent& event) {
  QByteArray line = "{";
  for (const auto& [key, value] : event) {
    if (line.size() > 1) line += ',';
    // Qt writes a lone value only inside an array: write [value] and keep what is inside.
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    line += '"' + QByteArray(key) + "\":" + array.mid(1, array.size() - 2);
  }
  return line + "}\n";
}

JsonEvent EnterEvent(unsigned step) {
  return {{"event", "enter"}, {"step", static_cast<qint64>(step)}};
}

JsonEvent TextEvent(const char* event, const std::string& text) {
  return {{"event", QString::fromLatin1(event)}, {"text", frontend::DecodeText(text)}};
}

JsonEvent ButtonEvent(Button button, bool enabled) {
  return {{"event", "button"}, {"button", ButtonName(button)}, {"enabled", enabled}};
}

JsonEvent BareEvent(const char* event) { return {{"event", QString::fromLatin1(event)}}; }

JsonEvent QuestionEvent(const std::string& text, bool answer) {
  return {{"event", "question"},
          {"text", frontend::DecodeText(text)},
          {"answer", answer ? "yes" : "no"}};
}

JsonEvent PressEvent(Press button) { return {{"event", "press"}, {"button", PressName(button)}}; }

JsonEvent DeviceEvent(const std::optional<DeviceReport>& device) {
  if (!device) return {{"event", "device"}, {"present", false}};
  return {{"event", "device"},
          {"present", device->present},
          {"mode", device->loaderMode ? "loader" : "normal"},
          {"product_id", device->productId},
          {"release", device->release},
          {"flash_sha256", QString::fromStdString(device->flashSha256)}};
}

JsonEvent ExitEvent(int code) { return {{"event", "exit"}, {"code", code}}; }

}  // namespace kavori::cli
