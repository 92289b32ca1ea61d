#include "app/fwtool_app.hpp"

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QWidget>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>

#include "app/fwtool_dlg.hpp"
#include "app/single_instance.hpp"
#include "frontend/session.hpp"
#include "wizard/wizard.hpp"

namespace kavori::app {

namespace {
constexpr char kToolName[] = "kavori-fwtool";

// A session that cannot start says why on stderr and, since a user started from the desktop menu
// never sees stderr, in a box captioned with the application title.
void ReportStartFailure(const std::string& reason) {
  std::cerr << kToolName << ": " << reason << '\n';
  QMessageBox box(QMessageBox::Critical, QApplication::applicationName(),
                  QStringLiteral("The firmware programming tool cannot start:\n\n") +
                      QString::fromLocal8Bit(reason.c_str()),
                  QMessageBox::Ok);
  box.exec();
}
}  // namespace

std::string CommandLineOf(int argc, const char* const* argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line += ' ';
    line += argv[i];
  }
  return line;
}

CFwToolApp::CFwToolApp(std::string commandLine,
                       platform::host::TerminationSignals* terminationSignals)
    : m_lpCmdLine(std::move(commandLine)), terminationSignals_(terminationSignals) {}

bool CFwToolApp::InitInstance() {
  SingleInstanceGuard guard(InstanceName());
  if (!guard.Claim()) return false;
  QApplication::setApplicationName(QString::fromLatin1(wizard::kApplicationTitle));
  QGuiApplication::setDesktopFileName(QStringLiteral(KAVORI_APP_ID));

  std::optional<sim::SimOptions> simulate;
  std::string error;
  if (!frontend::SimulationFromEnvironment(simulate, error)) {
    ReportStartFailure(error);
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
    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (terminationSignals_) {
      signalNotifier =
          std::make_unique<QSocketNotifier>(terminationSignals_->Fd(), QSocketNotifier::Read);
      QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, &dialog, [this, &dialog] {
        if (!terminationSignals_->Take()) return;
        if (dialog.Session().Wizard().ProgrammingActive()) {
          std::cerr << kToolName
                    << ": the device is being programmed; an interruption now could leave it "
                       "unusable, so the tool goes on\n";
          return;
        }
        // Boxes first (a question answers No), then the wizard through its cancel path.
        QApplication::closeAllWindows();
      });
    }
    dialog.DoModal();
    guard.OnComeForward(nullptr);
  } catch (const std::exception& failure) {
    ReportStartFailure(failure.what());
    exitCode_ = kExitCannotStart;
  }
  return false;
}

}  // namespace kavori::app
