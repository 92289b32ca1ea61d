#include "cli/json_events.hpp"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "frontend/text.hpp"
#include "wizard/version.hpp"

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

JsonEvent StartEvent(const std::string& version, const std::vector<std::string>& argv) {
  QJsonArray arguments;
  for (const std::string& argument : argv) arguments.append(frontend::DecodeText(argument));
  return {{"event", "start"},
          {"schema", kEventSchema},
          {"version", QString::fromStdString(version)},
          {"argv", arguments}};
}

JsonEvent ImageEvent(const ImageReport& image) {
  return {{"event", "image"},
          {"path", frontend::DecodeText(image.path)},
          {"size", static_cast<qint64>(image.size)},
          {"sha256", QString::fromStdString(image.sha256)},
          {"product_code", frontend::DecodeText(image.productCode)},
          {"version", QString::fromStdString(image.version)}};
}

JsonEvent TargetEvent(const TargetReport& target) {
  return {{"event", "target"},
          {"product_id", target.productId},
          {"mode", target.loaderMode ? "loader" : "normal"},
          {"release", target.release},
          {"version", QString::fromStdString(target.version)},
          {"part_number", frontend::DecodeText(target.partNumber)},
          {"serial", frontend::DecodeText(target.serial)}};
}

JsonEvent ProgressEvent(int percent, std::uint64_t bytes, std::uint64_t totalBytes) {
  return {{"event", "progress"},
          {"percent", percent},
          {"bytes", static_cast<qint64>(bytes)},
          {"total_bytes", static_cast<qint64>(totalBytes)}};
}

JsonEvent ResultEvent(const ResultReport& result) {
  const char* outcome = result.outcome == Outcome::Ok       ? "ok"
                        : result.outcome == Outcome::Failed ? "failed"
                                                            : "refused";
  return {{"event", "result"},
          {"serial", frontend::DecodeText(result.serial)},
          {"result", outcome},
          {"exit_code", result.exitCode},
          {"step",
           result.failedStep ? QJsonValue(static_cast<qint64>(*result.failedStep)) : QJsonValue()},
          {"status", frontend::DecodeText(result.status)},
          {"seconds", result.seconds}};
}

namespace {

// An event's fields without "event" and "t", as an object of the log line.
QJsonObject Fields(const JsonEvent& event) {
  QJsonObject object;
  for (const auto& [key, value] : event) {
    if (QLatin1String(key) != QLatin1String("event")) object.insert(QLatin1String(key), value);
  }
  return object;
}

}  // namespace

QByteArray LogLine(const LogRecord& record) {
  QJsonObject line = Fields(ResultEvent(record.result));
  line.insert("time", QString::fromStdString(record.time));
  line.insert("tool_version", QString::fromLatin1(wizard::kVersionText));
  line.insert("simulated", record.simulated);
  if (record.image) line.insert("image", Fields(ImageEvent(*record.image)));
  line.insert("device_before",
              record.before ? QJsonValue(Fields(TargetEvent(*record.before))) : QJsonValue());
  line.insert("device_after", Fields(TargetEvent(record.after)));
  QJsonArray steps;
  for (const auto& [step, seconds] : record.stepSeconds)
    steps.append(QJsonObject{{"step", static_cast<qint64>(step)}, {"seconds", seconds}});
  line.insert("steps", steps);
  QJsonArray diagnostics;
  for (const std::string& text : record.diagnostics) diagnostics.append(frontend::DecodeText(text));
  line.insert("diagnostics", diagnostics);
  return QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
}

JsonEvent SummaryEvent(const Summary& summary) {
  return {{"event", "summary"},
          {"programmed", static_cast<qint64>(summary.programmed)},
          {"failed", static_cast<qint64>(summary.failed)},
          {"refused", static_cast<qint64>(summary.refused)}};
}

}  // namespace kavori::cli
