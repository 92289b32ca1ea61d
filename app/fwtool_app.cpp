#include "app/fwtool_app.hpp"

#include <QApplication>
#include <QWidget>
#include <exception>
#include <iostream>
#include <optional>

#include "app/fwtool_dlg.hpp"
#include "app/single_instance.hpp"
#include "frontend/session.hpp"
#include "wizard/wizard.hpp"

namespace kavori::app {

namespace {
constexpr char kToolName[] = "kavori-fwtool";
}  // namespace

std::string CommandLineOf(int argc, const char* const* argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line += ' ';
    line += argv[i];
  }
  return line;
}

CFwToolApp::CFwToolApp(std::string commandLine) : m_lpCmdLine(std::move(commandLine)) {}

bool CFwToolApp::InitInstance() {
  SingleInstanceGuard guard(InstanceName());
  if (!guard.Claim()) return false;
  QApplication::setApplicationName(QString::fromLatin1(wizard::kApplicationTitle));

  std::optional<sim::SimOptions> simulate;
  std::string error;
  if (!frontend::SimulationFromEnvironment(simulate, error)) {
    std::cerr << kToolName << ": " << error << '\n';
    exitCode_ = kExitBadEnvironment;
    return false;
  }
  try {
    CFwToolDlg dialog(m_lpCmdLine, std::move(simulate), frontend::CurrentDirectory());
    guard.OnComeForward([&dialog] {
      dialog.BringToFront();
      // A box open over the wizard (About, a question) comes along.
      if (QWidget* modal = QApplication::activeModalWidget(); modal && modal != &dialog) {
        modal->raise();
        modal->activateWindow();
      }
    });
    dialog.DoModal();
    guard.OnComeForward(nullptr);
  } catch (const std::exception& failure) {
    std::cerr << kToolName << ": " << failure.what() << '\n';
    exitCode_ = kExitCannotStart;
  }
  return false;
}

}  // namespace kavori::app
