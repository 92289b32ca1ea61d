// kavori-fwtool-driver DIR: the wizard window on the host's real devices, clicked through one
// whole run the way a user would: Next whenever it is enabled, Finish once programming has
// succeeded. Every status line goes to stdout as it changes. Exit 0 after a successful run, 1
// after a failure or when the run takes longer than its bound. Needs QT_QPA_PLATFORM=offscreen
// without a display.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <optional>
#include <string>

#include "app/fwtool_dlg.hpp"

namespace {

constexpr int kTickMs = 20;
// Replug and restart included; far above a healthy run, so only a hang reaches it.
constexpr int kRunBoundMs = 180'000;
const QString kSucceeded = "Programming completed successfully.";

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: kavori-fwtool-driver FIRMWARE-DIR\n");
    return 64;
  }
  kavori::app::CFwToolDlg dialog("", std::nullopt, argv[1]);
  if (!dialog.OnInitDialog()) {
    std::printf("the window refused to start\n");
    return 1;
  }
  dialog.show();

  auto* status = dialog.findChild<QLabel*>("status");
  auto* next = dialog.findChild<QPushButton*>("next");
  auto* finish = dialog.findChild<QPushButton*>("finish");
  int result = 1;
  QString shown;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    if (status->text() != shown) {
      shown = status->text();
      std::printf("status: %s\n", shown.toStdString().c_str());
      std::fflush(stdout);
    }
    if (!dialog.isVisible()) {
      application.exit(result);
    } else if (shown == kSucceeded && finish->isEnabled()) {
      result = 0;
      finish->click();
    } else if (next->isEnabled()) {
      next->click();
    } else if (finish->isEnabled() && !next->isEnabled() && status->text() != kSucceeded &&
               !status->text().startsWith("Preparing device done")) {
      // A failed run: Finish is the only way on.
      std::printf("failed: %s\n", status->text().toStdString().c_str());
      application.exit(1);
    }
  });
  QTimer::singleShot(kRunBoundMs, [&] {
    std::printf("no end within %d ms; status: %s\n", kRunBoundMs,
                status->text().toStdString().c_str());
    application.exit(1);
  });
  tick.start(kTickMs);
  const int code = application.exec();
  dialog.DestroyWindow();
  return code;
}
