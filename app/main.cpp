// kavori-fwtool: the firmware programming wizard in its window. With the environment variable
// KAVORI_SIMULATE set it programs a simulated Kavori instead of a connected one.
#include <QApplication>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "app/fwtool_app.hpp"
#include "app/startup.hpp"
#include "platform/termination_signals.hpp"

int main(int argc, char** argv) {
  // Before QApplication takes out the arguments it knows.
  std::string commandLine = kavori::app::CommandLineOf(argc, argv);
  // Neither needs a display.
  if (const std::optional<std::string> answer = kavori::app::EarlyAnswer(commandLine)) {
    std::cout << *answer;
    return kavori::app::kExitNormal;
  }
  if (const std::optional<std::string> missing = kavori::app::MissingDisplay()) {
    std::cerr << *missing << '\n';
    return kavori::app::kExitCannotStart;
  }
  // First, while this is the only thread: Qt's threads inherit the blocked mask.
  const std::unique_ptr<kavori::platform::host::TerminationSignals> terminationSignals =
      kavori::platform::host::TerminationSignals::Open();
  const std::unique_ptr<QApplication> application =
      kavori::app::WithoutPlatformAbort([&] { return std::make_unique<QApplication>(argc, argv); });
  kavori::app::CFwToolApp app(std::move(commandLine), terminationSignals.get());
  app.InitInstance();
  // Qt's Wayland client can wait forever at its teardown for its event thread, which may sit in
  // a read the compositor never answers (seen about once in eight starts ended at once by
  // SIGTERM). Everything of this tool has ended by now: the wizard, its threads and the device
  // link went with the dialog. So under Wayland the process ends here, without that teardown.
  if (QGuiApplication::platformName() == QLatin1String("wayland")) {
    std::cout.flush();
    std::cerr.flush();
    std::_Exit(app.ExitCode());
  }
  return app.ExitCode();
}
