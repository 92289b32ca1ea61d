// Runs the built kavori-flash with --json and reads its event lines, so that the whole tool
// (options, wizard, driver, signals, exit code) is tested as a user meets it.
#pragma once

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdint>
#include <ostream>
#include <vector>

#include "support/json_schema.hpp"

// Failure messages show texts, not their UTF-16 bytes (found by argument-dependent lookup).
inline void PrintTo(const QString& text, std::ostream* os) {
  *os << '"' << text.toStdString() << '"';
}

namespace kavori::testing {

constexpr int kRunLimitMs = 25000;

struct FlashRun {
  int exitCode = -1;
  std::vector<QJsonObject> events;
  QString stdErr;
  QByteArray stdOut;

  std::vector<QString> Texts(const char* event) const {
    std::vector<QString> texts;
    for (const QJsonObject& e : events) {
      if (e["event"].toString() == QLatin1String(event)) texts.push_back(e["text"].toString());
    }
    return texts;
  }
  std::vector<int> EnteredSteps() const {
    std::vector<int> steps;
    for (const QJsonObject& e : events) {
      if (e["event"].toString() == "enter") steps.push_back(e["step"].toInt());
    }
    return steps;
  }
  std::vector<QString> Presses() const {
    std::vector<QString> presses;
    for (const QJsonObject& e : events) {
      if (e["event"].toString() == "press") presses.push_back(e["button"].toString());
    }
    return presses;
  }
  bool HasStatus(const QString& text) const {
    const auto statuses = Texts("status");
    return std::find(statuses.begin(), statuses.end(), text) != statuses.end();
  }
  // The "device" line, which must come right before the closing "exit" line.
  QJsonObject Device() const {
    if (events.size() < 2 || events[events.size() - 2]["event"].toString() != "device") return {};
    return events[events.size() - 2];
  }
};

// The documented event schema, read once.
inline const JsonSchema& EventSchema() {
  static const JsonSchema schema = [] {
    QFile file(QStringLiteral(KAVORI_EVENT_SCHEMA_PATH));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << KAVORI_EVENT_SCHEMA_PATH;
    return JsonSchema(QJsonDocument::fromJson(file.readAll()).object());
  }();
  return schema;
}

inline QString Sha256(const std::vector<std::uint8_t>& bytes) {
  return QString::fromLatin1(
      QCryptographicHash::hash(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())),
                               QCryptographicHash::Sha256)
          .toHex());
}

// A firmware folder and one kavori-flash process at a time.
class FlashHarness : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(firmwareDir.isValid()); }

  // Starts kavori-flash --json --dir <firmware dir> with `arguments`; stdin is an empty pipe.
  void Start(const QStringList& arguments, const QString& dir = {}) {
    StartBare(QStringList{"--dir", dir.isEmpty() ? firmwareDir.path() : dir} + arguments);
  }

  // Starts kavori-flash --json with `arguments` alone.
  void StartBare(const QStringList& arguments) {
    QStringList all{"--json"};
    all << arguments;
    seen.clear();
    // The history goes to a folder of the test's own, never the user's.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_STATE_HOME", stateDir.path());
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(KAVORI_FLASH_PATH), all);
    ASSERT_TRUE(process.waitForStarted()) << process.errorString().toStdString();
    process.closeWriteChannel();
  }

  // Waits until a status line equal to `status` has been written.
  void WaitForStatus(const QString& status) {
    // The event without its closing brace: `t` follows the text.
    const QByteArray needle = QJsonDocument(QJsonObject{{"event", "status"}, {"text", status}})
                                  .toJson(QJsonDocument::Compact)
                                  .chopped(1) +
                              ',';
    while (!seen.contains(needle)) {
      ASSERT_TRUE(process.waitForReadyRead(kRunLimitMs))
          << "no status \"" << status.toStdString() << "\"; got:\n"
          << seen.toStdString();
      seen += process.readAllStandardOutput();
    }
  }

  FlashRun Finish() {
    FlashRun run;
    EXPECT_TRUE(process.waitForFinished(kRunLimitMs)) << "kavori-flash did not end";
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << "kavori-flash crashed";
    run.exitCode = process.exitCode();
    run.stdOut = seen + process.readAllStandardOutput();
    run.stdErr = QString::fromUtf8(process.readAllStandardError());
    for (const QByteArray& line : run.stdOut.split('\n')) {
      if (line.isEmpty()) continue;
      QJsonParseError error;
      const QJsonDocument document = QJsonDocument::fromJson(line, &error);
      EXPECT_TRUE(document.isObject() && document.object().contains("event"))
          << "not an event line: " << line.toStdString();
      // Every event of every run keeps to the documented schema.
      const QString reason = EventSchema().Check(document.object());
      EXPECT_TRUE(reason.isEmpty()) << reason.toStdString() << " in " << line.toStdString();
      run.events.push_back(document.object());
    }
    EXPECT_TRUE(run.stdOut.isEmpty() || run.stdOut.endsWith('\n'));
    if (!run.events.empty()) {
      EXPECT_EQ(run.events.front()["event"].toString(), "start") << "start must be the first line";
      EXPECT_EQ(run.events.back()["event"].toString(), "exit") << "exit must be the last line";
      EXPECT_EQ(run.events.back()["code"].toInt(), run.exitCode);
    }
    return run;
  }

  FlashRun Run(const QStringList& arguments, const QString& dir = {}) {
    Start(arguments, dir);
    return Finish();
  }

  QTemporaryDir firmwareDir;
  QTemporaryDir stateDir;
  QProcess process;
  QByteArray seen;
};

}  // namespace kavori::testing
