#include "app/startup.hpp"

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "wizard/version.hpp"

namespace kavori::app {

namespace {

constexpr char kToolName[] = "kavori-fwtool";

std::mutex heldMutex;
std::vector<std::pair<QtMsgType, QString>> held;
QtMessageHandler previousHandler = nullptr;

QString Environment(const char* name) {
  const QString value = qEnvironmentVariable(name);
  return value.isEmpty() ? QStringLiteral("unset") : value;
}

void HoldingHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type != QtFatalMsg) {
    std::lock_guard guard(heldMutex);
    held.emplace_back(type, message);
    static_cast<void>(context);
    return;
  }
  // Qt is about to abort: no platform plugin could start. One line, and out without a core.
  const QByteArray line = QStringLiteral(
                              "%1: no usable display, the window cannot open (QT_QPA_PLATFORM %2, "
                              "WAYLAND_DISPLAY %3, DISPLAY %4)\n")
                              .arg(QString::fromLatin1(kToolName), Environment("QT_QPA_PLATFORM"),
                                   Environment("WAYLAND_DISPLAY"), Environment("DISPLAY"))
                              .toLocal8Bit();
  std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
  std::fflush(stderr);
  std::_Exit(1);
}

}  // namespace

std::string UsageText() {
  return std::string("Usage: ") + kToolName + R"( [SERVICE-CODE]

The Brimsel Kavori firmware programming wizard, in a window. Run it in the folder that holds the
firmware files (*.hex). A SERVICE-CODE, if right, shows the reply time-out slider in the About
box (F1).

  -h, --help     show this text (alone on the command line)
  --version      show the version (alone on the command line)

Environment:
  KAVORI_SIMULATE=OPTIONS   a simulated Kavori instead of the connected one (see kavori-flash)

Exit status: 0 the wizard ended, 1 the window could not start (no usable display, or the
session could not be set up), 64 KAVORI_SIMULATE does not hold valid options.
)";
}

std::optional<std::string> EarlyAnswer(const std::string& commandLine) {
  if (commandLine == "--help" || commandLine == "-h") return UsageText();
  // As kavori-flash says it.
  if (commandLine == "--version") return std::string(wizard::kVersionText) + "\n";
  return std::nullopt;
}

std::optional<std::string> MissingDisplay() {
  if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) return std::nullopt;
  if (!qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
    return std::nullopt;
  return std::string(kToolName) +
         ": no display: neither DISPLAY nor WAYLAND_DISPLAY is set, so the window cannot open "
         "(kavori-flash programs from a terminal)";
}

namespace detail {

void HoldPlatformMessages() { previousHandler = qInstallMessageHandler(HoldingHandler); }

void ReleasePlatformMessages() {
  qInstallMessageHandler(previousHandler);
  std::vector<std::pair<QtMsgType, QString>> messages;
  {
    std::lock_guard guard(heldMutex);
    messages.swap(held);
  }
  for (const auto& [type, message] : messages) {
    if (previousHandler != nullptr)
      previousHandler(type, QMessageLogContext(), message);
    else
      std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
  }
}

}  // namespace detail

}  // namespace kavori::app
