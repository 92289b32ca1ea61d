// kavori-fwtool: the firmware programming wizard in its window. With the environment variable
// KAVORI_SIMULATE set it programs a simulated Kavori instead of a connected one.
#include <QApplication>

#include "app/fwtool_app.hpp"

int main(int argc, char** argv) {
  // Before QApplication takes out the arguments it knows.
  std::string commandLine = kavori::app::CommandLineOf(argc, argv);
  QApplication application(argc, argv);
  kavori::app::CFwToolApp app(std::move(commandLine));
  app.InitInstance();
  return app.ExitCode();
}
