#include "frontend/run_record.hpp"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "frontend/text.hpp"
#include "wizard/version.hpp"

namespace kavori::frontend {

JsonFields ImageFields(const ImageReport& image) {
  return {{"path", DecodeText(image.path)},
          {"size", static_cast<qint64>(image.size)},
          {"sha256", QString::fromStdString(image.sha256)},
          {"product_code", DecodeText(image.productCode)},
          {"version", QString::fromStdString(image.version)}};
}

JsonFields TargetFields(const TargetReport& target) {
  return {{"product_id", target.productId},
          {"mode", target.loaderMode ? "loader" : "normal"},
          {"release", target.release},
          {"version", QString::fromStdString(target.version)},
          {"part_number", DecodeText(target.partNumber)},
          {"serial", DecodeText(target.serial)}};
}

JsonFields ResultFields(const ResultReport& result) {
  const char* outcome = result.outcome == Outcome::Ok       ? "ok"
                        : result.outcome == Outcome::Failed ? "failed"
                                                            : "refused";
  return {{"serial", DecodeText(result.serial)},
          {"result", outcome},
          {"exit_code", result.exitCode},
          {"step",
           result.failedStep ? QJsonValue(static_cast<qint64>(*result.failedStep)) : QJsonValue()},
          {"status", DecodeText(result.status)},
          {"seconds", result.seconds}};
}

namespace {

QJsonObject Object(const JsonFields& fields) {
  QJsonObject object;
  for (const auto& [key, value] : fields) object.insert(QLatin1String(key), value);
  return object;
}

}  // namespace

QByteArray LogLine(const LogRecord& record) {
  QJsonObject line = Object(ResultFields(record.result));
  line.insert("time", QString::fromStdString(record.time));
  line.insert("tool_version", QString::fromLatin1(wizard::kVersionText));
  line.insert("front_end", QString::fromStdString(record.frontEnd));
  line.insert("simulated", record.simulated);
  if (record.image) line.insert("image", Object(ImageFields(*record.image)));
  line.insert("device_before",
              record.before ? QJsonValue(Object(TargetFields(*record.before))) : QJsonValue());
  line.insert("device_after", Object(TargetFields(record.after)));
  QJsonArray steps;
  for (const auto& [step, seconds] : record.stepSeconds)
    steps.append(QJsonObject{{"step", static_cast<qint64>(step)}, {"seconds", seconds}});
  line.insert("steps", steps);
  QJsonArray diagnostics;
  for (const std::string& text : record.diagnostics) diagnostics.append(DecodeText(text));
  line.insert("diagnostics", diagnostics);
  return QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
}

}  // namespace kavori::frontend
