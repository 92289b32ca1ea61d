// The application object: the process's life from start to end. It keeps the application title
// as the application name (the caption of the start-up message boxes) and the command line, lets
// one wizard run per user and display, and runs the wizard dialog modally; the process ends when
// the dialog ends. UI thread only.
#pragma once

#include <string>

#include "platform/termination_signals.hpp"

namespace kavori::app {

// Exit codes of the window (the dialog's own ending sets none).
inline constexpr int kExitNormal = 0;
inline constexpr int kExitCannotStart = 1;
inline constexpr int kExitBadEnvironment = 64;

// The command line of `main`'s arguments as given, before Qt takes out its own: every argument
// after the program name, joined by single blanks. Empty without arguments.
std::string CommandLineOf(int argc, const char* const* argv);

class CFwToolApp {
 public:
  // `terminationSignals` (may be null): SIGINT, SIGQUIT, SIGTERM and SIGHUP, which end the wizard
  // through its cancel path, and are refused while the device is being programmed.
  CFwToolApp(std::string commandLine, platform::host::TerminationSignals* terminationSignals);

  // Needs a QApplication. Either asks a running wizard to come to the front and returns at once,
  // or runs the wizard dialog to its end. Always false: there is no message loop after it.
  bool InitInstance();

  int ExitCode() const { return exitCode_; }
  const std::string& CommandLine() const { return m_lpCmdLine; }

 private:
  const std::string m_lpCmdLine;
  platform::host::TerminationSignals* const terminationSignals_;
  int exitCode_ = kExitNormal;
};

}  // namespace kavori::app
