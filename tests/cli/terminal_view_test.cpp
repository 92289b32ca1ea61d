#include "cli/terminal_view.hpp"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <sstream>

#include "cli/json_lines.hpp"

namespace kavori::cli {
namespace {

class TerminalViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    view.OnPageChange([this] { ++changes; });
  }

  std::ostringstream out;
  std::ostringstream err;
  std::unique_ptr<Reporter> reporter = MakeJsonReporter(out, err);
  TerminalView view{*reporter};
  int changes = 0;
};

TEST_F(TerminalViewTest, TracksThePageTheStepMachineLeaves) {
  view.StepEntered(2);
  view.EnableFinish(false);
  view.EnableBack(false);
  view.EnableNext(false);
  view.EnableBack(true);
  view.EnableFinish(true);
  const Page page = view.CurrentPage();
  EXPECT_EQ(page.enteredStep, 2);
  EXPECT_FALSE(page.next);
  EXPECT_TRUE(page.back);
  EXPECT_TRUE(page.finish);
  EXPECT_EQ(changes, 6);
}

TEST_F(TerminalViewTest, ReportsEveryCallInOrder) {
  view.StepEntered(4);
  view.Beep();
  view.BringToFront();
  view.SetMessage("Kavori device is now reconnected.\n\nTo continue, click 'Next'.", false);
  view.SetStatus("Device is reconnected.", false, std::nullopt);
  view.EnableNext(true);
  EXPECT_EQ(WithoutTime(out.str()),
            "{\"event\":\"enter\",\"step\":4}\n"
            "{\"event\":\"beep\"}\n"
            "{\"event\":\"foreground\"}\n"
            "{\"event\":\"message\",\"text\":\"Kavori device is now reconnected.\\n\\nTo "
            "continue, click 'Next'.\"}\n"
            "{\"event\":\"status\",\"text\":\"Device is reconnected.\"}\n"
            "{\"event\":\"button\",\"button\":\"next\",\"enabled\":true}\n");
}

TEST_F(TerminalViewTest, AnswersFinishQuestionYesAndShowsStartupBox) {
  EXPECT_TRUE(view.AskYesNo("Close and exit ?"));
  view.ShowStartupMessage("No Kavori Device found.\nPlease connect one, and then try again.");
  EXPECT_EQ(WithoutTime(out.str()),
            "{\"event\":\"question\",\"text\":\"Close and exit ?\",\"answer\":\"yes\"}\n"
            "{\"event\":\"box\",\"text\":\"No Kavori Device found.\\nPlease connect one, and then "
            "try again.\"}\n");
  EXPECT_EQ(changes, 0);
}

// Burn and verify can each take up to the reply time-out: a terminal user sees the seconds count,
// and the count stops with the next text.
TEST(TerminalViewSilence, CountsTheSecondsTheRunWaitsUntilTheNextText) {
  int argc = 1;
  char name[] = "terminal_view_test";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  std::ostringstream out;
  std::ostringstream err;
  const std::unique_ptr<Reporter> reporter = MakeHumanReporter(out, err, true);
  TerminalView view(*reporter);
  view.StepEntered(6);
  view.SetStatus("Burning Flash ...", false, std::nullopt);
  QElapsedTimer waited;
  waited.start();
  while (out.str().find("waiting for the device: 2 s") == std::string::npos &&
         waited.elapsed() < 20000)
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
  EXPECT_NE(out.str().find("waiting for the device: 2 s"), std::string::npos) << out.str();

  view.SetMessage("Programming completed successfully.", false);
  const std::string before = out.str();
  waited.restart();
  while (waited.elapsed() < 1500) QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
  EXPECT_EQ(out.str(), before) << "the count went on after the next text";
}

}  // namespace
}  // namespace kavori::cli
