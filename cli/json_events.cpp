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

// The event named `event` with the report's `fields`.
JsonEvent Event(const char* event, frontend::JsonFields fields) {
  fields.insert(fields.begin(), {"event", QString::fromLatin1(event)});
  return fields;
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

JsonEvent StartEvent(const std::string& version, const std::vector<std::string>& argv) {
  QJsonArray arguments;
  for (const std::string& argument : argv) arguments.append(frontend::DecodeText(argument));
  return {{"event", "start"},
          {"schema", kEventSchema},
          {"version", QString::fromStdString(version)},
          {"argv", arguments}};
}

JsonEvent ImageEvent(const frontend::ImageReport& image) {
  return Event("image", frontend::ImageFields(image));
}

JsonEvent TargetEvent(const frontend::TargetReport& target) {
  return Event("target", frontend::TargetFields(target));
}

JsonEvent ProgressEvent(int percent, std::uint64_t bytes, std::uint64_t totalBytes) {
  return {{"event", "progress"},
          {"percent", percent},
          {"bytes", static_cast<qint64>(bytes)},
          {"total_bytes", static_cast<qint64>(totalBytes)}};
}

JsonEvent ResultEvent(const frontend::ResultReport& result) {
  return Event("result", frontend::ResultFields(result));
}

JsonEvent SummaryEvent(const Summary& summary) {
  return {{"event", "summary"},
          {"programmed", static_cast<qint64>(summary.programmed)},
          {"failed", static_cast<qint64>(summary.failed)},
          {"refused", static_cast<qint64>(summary.refused)}};
}

}  // namespace kavori::cli
