// What the run log keeps of one device (kavori-flash --log, the history both front ends keep), and
// the field sets it shares with kavori-flash's --json events.
#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kavori::frontend {

// The image the firmware search chose.
struct ImageReport {
  std::string path;
  std::uint64_t size = 0;
  std::string sha256;  // lower-case hex
  std::string productCode;
  std::string version;  // as the information page shows it
};

// The device the device search accepted.
struct TargetReport {
  std::uint16_t productId = 0;
  bool loaderMode = false;
  std::uint16_t release = 0;
  std::string version;  // as the information page shows it; meaningful in normal mode
  std::string partNumber;
  std::string serial;
};

enum class Outcome { Ok, Failed, Refused };

// How one device ended.
struct ResultReport {
  std::string serial;  // empty when no device was accepted
  Outcome outcome = Outcome::Failed;
  int exitCode = 0;
  std::optional<unsigned> failedStep;  // the step the wizard ended on, unless ok
  std::string status;                  // the last status line
  double seconds = 0;
};

// Named values in the order they are written, so that a line reads the same to a person as to a
// parser.
using JsonFields = std::vector<std::pair<const char*, QJsonValue>>;

// The fields of each report, as the --json events and the log line both write them.
JsonFields ImageFields(const ImageReport& image);
JsonFields TargetFields(const TargetReport& target);
JsonFields ResultFields(const ResultReport& result);

// What the run log keeps of one device.
struct LogRecord {
  ResultReport result;
  std::string time;      // ISO 8601, UTC, when the device ended
  std::string frontEnd;  // the tool that wrote it: "kavori-flash" or "kavori-fwtool"
  bool simulated = false;
  std::optional<TargetReport> before;  // as the device search accepted it
  TargetReport after;                  // as the tool last saw it
  std::optional<ImageReport> image;
  std::vector<std::pair<unsigned, double>> stepSeconds;  // each step entered, in order
  std::vector<std::string> diagnostics;
};
// The record as one compact JSON line, '\n' included.
QByteArray LogLine(const LogRecord& record);

}  // namespace kavori::frontend
