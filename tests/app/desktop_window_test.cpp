// The window on a real display server rather than Qt's offscreen platform: under weston's headless
// backend (Wayland, natively: no DISPLAY, so XWayland cannot stand in) and under Xvfb (X11).
// tests/app/run_on_display.sh starts the server and this program against it; the expected
// platform comes in KAVORI_EXPECT_PLATFORM ("wayland" or "xcb").
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLocalSocket>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QWindow>
#include <optional>
#include <string>

#include "app/fwtool_dlg.hpp"
#include "app/single_instance.hpp"
#include "firmware/image_builder.hpp"
#include "support/scratch_dir.hpp"
#include "support/state_home.hpp"
#include "wizard/wizard.hpp"

namespace kavori::app {
namespace {

constexpr int kWaitMs = 20000;

QString ExpectedPlatform() { return qEnvironmentVariable("KAVORI_EXPECT_PLATFORM"); }

class DesktopWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(firmware::ImageBuilder()
                    .BytesAt(0, firmware::DemoImage().Build())
                    .WriteTo(firmware_.File("demo.hex")));
    dialog_ = std::make_unique<CFwToolDlg>("", sim::SimOptions{}, firmware_.Path(),
                                           platform::Pauses(0.01));
  }

  testing::ScratchDir firmware_;
  std::unique_ptr<CFwToolDlg> dialog_;
};

TEST_F(DesktopWindow, ShowsItsFirstPageNativelyAsATopLevelWindow) {
  ASSERT_EQ(QGuiApplication::platformName(), ExpectedPlatform())
      << "not the platform plugin the test was started for";
  CFwToolDlg& dialog = *dialog_;
  ASSERT_TRUE(dialog.OnInitDialog());
  dialog.show();
  // Exposed: the display server has mapped (X11) or configured (Wayland) the window's surface.
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog, kWaitMs));
  EXPECT_EQ(dialog.windowTitle(), wizard::kApplicationTitle);
  EXPECT_EQ(dialog.findChild<QLabel*>("status")->text(), "Welcome");
  EXPECT_TRUE(dialog.findChild<QPushButton*>("next")->hasFocus() ||
              dialog.focusWidget() == dialog.findChild<QPushButton*>("next"));

  // A window of its own: its own taskbar entry, not transient for a hidden leader window.
  QWindow* window = dialog.windowHandle();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->type(), Qt::Window);
  EXPECT_EQ(window->transientParent(), nullptr);
  EXPECT_EQ(window->modality(), Qt::NonModal);
  // Its fixed size, as the display server got it.
  EXPECT_EQ(window->minimumSize(), window->maximumSize());
  EXPECT_EQ(dialog.size(), dialog.minimumSize());

  if (QGuiApplication::platformName() == "xcb") {
    // What a taskbar reads: no WM_TRANSIENT_FOR, the type NORMAL.
    QProcess xprop;
    xprop.start(QStringLiteral("xprop"),
                {QStringLiteral("-id"), QString::number(dialog.winId()),
                 QStringLiteral("WM_TRANSIENT_FOR"), QStringLiteral("_NET_WM_WINDOW_TYPE")});
    ASSERT_TRUE(xprop.waitForFinished(kWaitMs));
    const QString out = QString::fromLocal8Bit(xprop.readAllStandardOutput());
    EXPECT_TRUE(out.contains("WM_TRANSIENT_FOR:  not found")) << out.toStdString();
    EXPECT_TRUE(out.contains("_NET_WM_WINDOW_TYPE_NORMAL")) << out.toStdString();
    EXPECT_FALSE(out.contains("_NET_WM_WINDOW_TYPE_DIALOG")) << out.toStdString();
  }

  // It ends cleanly through its cancel path.
  dialog.close();
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), kIdCancel);
}

// A second start on the same display asks the running wizard to come forward and ends at once.
// (Where the compositor offers no activation, the request can only ask: Wayland gives a client no
// way to raise itself.)
TEST(DesktopSingleInstance, ASecondStartAsksTheFirstAndEnds) {
  SingleInstanceGuard first(InstanceName());
  ASSERT_TRUE(first.Claim());
  int requests = 0;
  first.OnComeForward([&] { ++requests; });
  QProcess second;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("KAVORI_SIMULATE"), QString());
  second.setProcessEnvironment(environment);
  second.start(QStringLiteral(KAVORI_FWTOOL_PATH), {});
  const bool ended =
      QTest::qWaitFor([&] { return second.state() == QProcess::NotRunning; }, kWaitMs);
  if (!ended) second.kill();
  ASSERT_TRUE(ended) << "the second start opened a wizard of its own";
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
  EXPECT_EQ(requests, 1);
}

// The tool itself, not only its dialog class: kavori-fwtool starts on this display server (under
// Wayland with no DISPLAY to fall back on) and ends cleanly on SIGTERM.
TEST(DesktopTool, StartsOnThisDisplayAndEndsCleanly) {
  QProcess tool;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("KAVORI_SIMULATE"), QString());
  tool.setProcessEnvironment(environment);
  tool.start(QStringLiteral(KAVORI_FWTOOL_PATH), {});
  // Its instance socket answers once its platform came up and it claimed the display; the name
  // holds the platform's name, so a tool that fell back to another platform would not answer.
  const bool answered = QTest::qWaitFor(
      [&] {
        if (tool.state() == QProcess::NotRunning) return true;
        QLocalSocket probe;
        probe.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
        probe.connectToServer(InstanceName());
        return probe.waitForConnected(100);
      },
      kWaitMs);
  ASSERT_TRUE(answered);
  ASSERT_EQ(tool.state(), QProcess::Running) << tool.readAllStandardError().toStdString();
  tool.terminate();
  ASSERT_TRUE(tool.waitForFinished(kWaitMs));
  EXPECT_EQ(tool.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();
}

}  // namespace
}  // namespace kavori::app

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Listing the tests needs no display.
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  const kavori::testing::OwnStateHome stateHome;
  QApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
