// kavori-flash: the wizard in a terminal. It runs the same step machine as the dialog and
// presses Next for the user; see `kavori-flash --help`.
#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSocketNotifier>
#include <QTimer>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli/driver.hpp"
#include "cli/options.hpp"
#include "cli/reporter.hpp"
#include "cli/terminal_view.hpp"
#include "frontend/diagnose.hpp"
#include "frontend/exit_codes.hpp"
#include "frontend/run_log.hpp"
#include "frontend/session.hpp"
#include "frontend/text.hpp"
#include "platform/terminal_io.hpp"
#include "platform/termination_signals.hpp"
#include "wizard/wizard.hpp"

namespace {

using namespace kavori;

int UsageError(const std::string& reason) {
  // The reason may quote a file name or any other argument.
  std::cerr << "kavori-flash: " << frontend::TerminalValue(reason)
            << " (see kavori-flash --help)\n";
  return frontend::kExitUsage;
}

int DiagnoseExitCode(frontend::DiagnoseOutcome outcome) {
  switch (outcome) {
    case frontend::DiagnoseOutcome::DeviceCount:
      return frontend::kExitDeviceCount;
    case frontend::DiagnoseOutcome::DeviceSearch:
      return frontend::kExitDeviceSearch;
    case frontend::DiagnoseOutcome::FirmwareSearch:
      return frontend::kExitFirmwareSearch;
    case frontend::DiagnoseOutcome::Ready:
      break;
  }
  return frontend::kExitProgrammed;
}

// --history: the log lines kept of earlier devices, oldest first.
int PrintHistory() {
  QByteArray lines;
  if (auto error = frontend::ReadHistory(frontend::HistoryPath(), lines)) {
    std::cerr << "kavori-flash: " << frontend::TerminalValue(*error) << '\n';
    return frontend::kExitFailed;
  }
  std::cout.write(lines.constData(), lines.size());
  return frontend::kExitProgrammed;
}

// --diagnose: the report on what the wizard would see and decide; the exit code it would end with.
int Diagnose(const cli::CliOptions& options, const std::string& directory, int& argc, char** argv) {
  QCoreApplication app(argc, argv);
  // The wizard is never started; the session only installs the services.
  const std::unique_ptr<cli::Reporter> reporter = cli::MakeJsonReporter(std::cout, std::cerr);
  cli::TerminalView view(*reporter);
  frontend::Session session(view, directory, options.simulate);
  const frontend::DiagnoseReport report = frontend::Diagnose(session.Link(), directory);
  const int code = DiagnoseExitCode(report.outcome);
  if (options.json) {
    QJsonObject document = frontend::DiagnoseJson(report);
    document.insert("exit_code", code);
    std::cout << QJsonDocument(document).toJson(QJsonDocument::Indented).toStdString();
  } else {
    std::cout << frontend::DiagnoseText(report) << "Exit code: " << code << '\n';
  }
  return code;
}

// Runs the wizard to its end and returns the exit code.
int Run(const cli::CliOptions& options, const std::string& directory, const std::string& fileName,
        platform::host::TerminationSignals* terminationSignals, int& argc, char** argv) {
  QCoreApplication app(argc, argv);

  const bool stdoutTerminal = platform::host::IsTerminal(1);
  const std::unique_ptr<cli::Reporter> reporter =
      options.json ? cli::MakeJsonReporter(std::cout, std::cerr)
                   : cli::MakeHumanReporter(std::cout, std::cerr, stdoutTerminal);
  reporter->Started(std::vector<std::string>(argv, argv + argc));
  cli::TerminalView view(*reporter);
  frontend::Session session(view, directory, options.simulate);
  reporter->SetValueSource([&session] { return session.ShownValues(); });
  wizard::Wizard& wizard = session.Wizard();
  if (!fileName.empty()) wizard.NameFirmwareFile(fileName);
  if (options.replyTimeoutMs) wizard.SetReplyTimeoutMs(*options.replyTimeoutMs);

  cli::DriverSettings settings;
  settings.dryRun = options.dryRun;
  settings.yes = options.yes;
  // The question goes where the person reads: stdout, or stderr while stdout carries JSON.
  settings.interactive = platform::host::IsTerminal(0) &&
                         (options.json ? platform::host::IsTerminal(2) : stdoutTerminal);
  settings.waitSeconds = options.waitSeconds;
  settings.waitForDeviceSeconds = options.waitForDeviceSeconds;
  settings.allowReinstall = options.allowReinstall;
  settings.allowOlder = options.allowOlder;
  settings.firmwareDirectory = directory;
  settings.simulated = options.simulate.has_value();
  settings.keepRecord = [&options, &reporter](const QByteArray& line) {
    if (!options.logPath.empty()) {
      if (auto error = frontend::AppendLine(options.logPath, line))
        reporter->Warning("--log: " + *error);
    }
    const std::string history = frontend::HistoryPath();
    if (history.empty()) return;
    if (auto error = frontend::AppendToHistory(history, line))
      reporter->Warning("history: " + *error);
  };
  settings.repeat = options.repeat;
  settings.repeatCount = options.repeatCount;
  cli::Driver driver(wizard, view, *reporter, settings, [&session, &fileName]() -> wizard::Wizard& {
    wizard::Wizard& next = session.NextWizard();
    if (!fileName.empty()) next.NameFirmwareFile(fileName);
    return next;
  });

  std::unique_ptr<QSocketNotifier> signalNotifier;
  if (terminationSignals) {
    signalNotifier =
        std::make_unique<QSocketNotifier>(terminationSignals->Fd(), QSocketNotifier::Read);
    QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, &driver, [&] {
      if (terminationSignals->Take()) driver.Interrupt();
    });
  }

  QTimer::singleShot(0, &driver, [&driver] { driver.Begin(); });
  const int code = app.exec();

  // Every worker is joined and the link closed before the device is described.
  session.End();
  if (session.Simulated()) reporter->Device(session.DescribeSimulatedDevice());
  reporter->Exit(code);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  // First, while this is the only thread: every thread started later inherits the blocked mask.
  const std::unique_ptr<platform::host::TerminationSignals> terminationSignals =
      platform::host::TerminationSignals::Open();
  platform::host::IgnoreBrokenPipe();

  const cli::ParseOutcome parsed =
      cli::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  switch (parsed.kind) {
    case cli::ParseOutcome::Kind::Help:
      std::cout << cli::UsageText();
      return frontend::kExitProgrammed;
    case cli::ParseOutcome::Kind::Version:
      std::cout << "kavori-flash " << wizard::kVersionText << '\n';
      return frontend::kExitProgrammed;
    case cli::ParseOutcome::Kind::Error:
      return UsageError(parsed.error);
    case cli::ParseOutcome::Kind::Run:
      break;
  }
  if (parsed.options.history) return PrintHistory();
  // A log that cannot be written is found now, not after a device has been programmed.
  if (!parsed.options.logPath.empty()) {
    if (auto error = frontend::AppendLine(parsed.options.logPath, QByteArray()))
      return UsageError("--log: " + *error);
  }
  // A named FILE is the one entry of its directory that step 2 judges; its bytes are split, not
  // decoded, so that any name the file system holds reaches the file.
  const std::string& file = parsed.options.file;
  const std::size_t slash = file.rfind('/');
  const std::string fileName = slash == std::string::npos ? file : file.substr(slash + 1);
  std::string directory = parsed.options.directory;
  if (!file.empty() && slash != std::string::npos)
    directory = slash == 0 ? "/" : file.substr(0, slash);
  // The search reads the current directory by its full path, like any other directory.
  if (directory.empty()) directory = frontend::CurrentDirectory();
  if (file.empty() && !QFileInfo(QString::fromStdString(directory)).isDir())
    return UsageError("--dir: \"" + directory + "\" is not a directory");
  try {
    if (parsed.options.diagnose) return Diagnose(parsed.options, directory, argc, argv);
    return Run(parsed.options, directory, fileName, terminationSignals.get(), argc, argv);
  } catch (const std::exception& error) {
    std::cerr << "kavori-flash: " << frontend::TerminalValue(error.what()) << '\n';
    return frontend::kExitFailed;
  }
}
