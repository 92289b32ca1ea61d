#include "frontend/run_log.hpp"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QtGlobal>

namespace kavori::frontend {

namespace {

std::string Reason(const QString& path, const QFileDevice& file) {
  return (path + ": " + file.errorString()).toStdString();
}

}  // namespace

std::string HistoryPath() {
  QString state = qEnvironmentVariable("XDG_STATE_HOME");
  if (!QDir::isAbsolutePath(state)) {
    const QString home = qEnvironmentVariable("HOME");
    if (!QDir::isAbsolutePath(home)) return {};
    state = home + "/.local/state";
  }
  return (state + "/kavori/history.jsonl").toStdString();
}

std::optional<std::string> AppendLine(const std::string& path, const QByteArray& line) {
  const QString name = QString::fromStdString(path);
  QFile file(name);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) return Reason(name, file);
  if (file.write(line) != line.size() || !file.flush()) return Reason(name, file);
  return std::nullopt;
}

std::optional<std::string> AppendToHistory(const std::string& path, const QByteArray& line) {
  const QString name = QString::fromStdString(path);
  if (!QDir().mkpath(QFileInfo(name).absolutePath()))
    return (QFileInfo(name).absolutePath() + ": cannot be made").toStdString();
  QByteArray lines;
  if (auto error = ReadHistory(path, lines)) return error;
  lines += line;
  // Only the newest lines stay.
  qsizetype start = 0;
  for (qsizetype count = lines.count('\n'); count > static_cast<qsizetype>(kHistoryLines); --count)
    start = lines.indexOf('\n', start) + 1;
  QSaveFile file(name);
  if (!file.open(QIODevice::WriteOnly)) return Reason(name, file);
  file.write(lines.constData() + start, lines.size() - start);
  if (!file.commit()) return Reason(name, file);
  return std::nullopt;
}

std::optional<std::string> ReadHistory(const std::string& path, QByteArray& lines) {
  const QString name = QString::fromStdString(path);
  lines.clear();
  QFile file(name);
  if (!file.exists()) return std::nullopt;
  if (!file.open(QIODevice::ReadOnly)) return Reason(name, file);
  lines = file.readAll();
  if (file.error() != QFileDevice::NoError) return Reason(name, file);
  // A line cut short by a crash still ends, so that the next one starts on its own.
  if (!lines.isEmpty() && !lines.endsWith('\n')) lines += '\n';
  return std::nullopt;
}

}  // namespace kavori::frontend
