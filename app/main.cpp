// kavori-fwtool: the firmware programming wizard in its window. With the environment variable
// KAVORI_SIMULATE set it programs a simulated Kavori instead of a connected one.
#include <QApplication>
#include <memory>

#include "app/fwtool_app.hpp"
#include "platform/termination_signals.hpp"

int main(int argc, char** argv) {
  // First, while this is the only thread: Qt's threads inherit the blocked mask.
  const std::unique_ptr<kavori::platform::host::TerminationSignals> terminationSignals =
      kavori::platform::host::TerminationSignals::Open();
  // Before QApplication takes out the arguments it knows.
  std::string commandLine = kavori::app::CommandLineOf(argc, argv);
  QApplication application(argc, argv);
  kavori::app::CFwToolApp app(std::move(commandLine), terminationSignals.get());
  app.InitInstance();
  return app.ExitCode();
}
