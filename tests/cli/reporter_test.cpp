#include "cli/reporter.hpp"

#include <gtest/gtest.h>

#include <sstream>

#include "cli/json_events.hpp"
#include "cli/json_lines.hpp"
#include "cli/text.hpp"

namespace kavori::cli {
namespace {

std::string Line(const JsonEvent& event) { return JsonLine(event).toStdString(); }

TEST(JsonEvents, OneCompactObjectPerLineWithTheEventFirst) {
  EXPECT_EQ(Line(EnterEvent(3)), "{\"event\":\"enter\",\"step\":3}\n");
  EXPECT_EQ(Line(TextEvent("status", "Programming Failed [0038].")),
            "{\"event\":\"status\",\"text\":\"Programming Failed [0038].\"}\n");
  EXPECT_EQ(Line(ButtonEvent(Button::Finish, false)),
            "{\"event\":\"button\",\"button\":\"finish\",\"enabled\":false}\n");
  EXPECT_EQ(Line(QuestionEvent("Close and exit ?", true)),
            "{\"event\":\"question\",\"text\":\"Close and exit ?\",\"answer\":\"yes\"}\n");
  EXPECT_EQ(Line(PressEvent(Press::Cancel)), "{\"event\":\"press\",\"button\":\"cancel\"}\n");
  EXPECT_EQ(Line(BareEvent("beep")), "{\"event\":\"beep\"}\n");
  EXPECT_EQ(Line(ExitEvent(130)), "{\"event\":\"exit\",\"code\":130}\n");
}

TEST(JsonEvents, TextsKeepLineBreaksQuotesAndControlsEscaped) {
  EXPECT_EQ(Line(TextEvent("message", "a\nb \"c\" \\ d\x1B")),
            "{\"event\":\"message\",\"text\":\"a\\nb \\\"c\\\" \\\\ d\\u001b\"}\n");
  // A narrowed product string is Latin-1, not broken UTF-8.
  EXPECT_EQ(Line(TextEvent("status", "K\xE9 Device was found.")),
            "{\"event\":\"status\",\"text\":\"K\xC3\xA9 Device was found.\"}\n");
}

TEST(JsonEvents, DeviceDescribesTheSimulatedKavori) {
  DeviceReport device;
  device.present = true;
  device.loaderMode = true;
  device.productId = 0x8105;
  device.release = 0x0110;
  device.flashSha256 = "ab01";
  EXPECT_EQ(Line(DeviceEvent(device)),
            "{\"event\":\"device\",\"present\":true,\"mode\":\"loader\",\"product_id\":33029,"
            "\"release\":272,\"flash_sha256\":\"ab01\"}\n");
  EXPECT_EQ(Line(DeviceEvent(std::nullopt)), "{\"event\":\"device\",\"present\":false}\n");
}

struct Streams {
  std::ostringstream out;
  std::ostringstream err;
};

TEST(JsonReporter, KeepsStdoutForEventsOnly) {
  Streams s;
  const auto reporter = MakeJsonReporter(s.out, s.err);
  reporter->Prompt("Program the device now?");
  reporter->Notice("Waiting up to 120 s ...");
  reporter->Warning("the device is being programmed");
  reporter->Answered("Program the device now?", false);
  EXPECT_EQ(WithoutTime(s.out.str()),
            "{\"event\":\"question\",\"text\":\"Program the device now?\",\"answer\":\"no\"}\n");
  EXPECT_EQ(s.err.str(),
            "Program the device now? [y/N] kavori-flash: the device is being programmed\n");
}

TEST(HumanReporter, DrawsProgressOnOneTerminalLine) {
  Streams s;
  const auto reporter = MakeHumanReporter(s.out, s.err, true);
  reporter->Status("Programming, 9% completed.", false, 9);
  reporter->Status("Programming, 10% completed.", false, 10);
  reporter->Status("Burning Flash ...", false, std::nullopt);
  EXPECT_EQ(s.out.str(), "\r" + ProgressLine(9, "Programming, 9% completed.") + "\r" +
                             ProgressLine(10, "Programming, 10% completed.") +
                             "\nStatus: Burning Flash ...\n");
  EXPECT_EQ(s.err.str(), "");
}

TEST(HumanReporter, PrintsProgressAsLinesWhenNotATerminal) {
  Streams s;
  const auto reporter = MakeHumanReporter(s.out, s.err, false);
  reporter->Status("Programming, 9% completed.", false, 9);
  reporter->Beep();
  EXPECT_EQ(s.out.str(), "Status: Programming, 9% completed.\n");
}

TEST(HumanReporter, FailureTextsGoToStderrAfterTheBarIsEnded) {
  Streams s;
  const auto reporter = MakeHumanReporter(s.out, s.err, true);
  reporter->Status("Programming, 1% completed.", false, 1);
  reporter->Status("Programming Failed [0038].", true, std::nullopt);
  reporter->Message("Error programming device.\n\nPlease contact", true);
  reporter->Exit(1);
  EXPECT_EQ(s.out.str(), "\r" + ProgressLine(1, "Programming, 1% completed.") + "\n");
  EXPECT_EQ(s.err.str(),
            "Status: Programming Failed [0038].\n\nError programming device.\n\nPlease "
            "contact\n\nkavori-flash: programming failed or could not start (exit code 1)\n");
}

TEST(HumanReporter, StartupRefusalOnStderrSuccessQuiet) {
  Streams s;
  const auto reporter = MakeHumanReporter(s.out, s.err, false);
  reporter->StartupBox("No Kavori Device found.\nPlease connect one, and then try again.");
  reporter->Exit(0);
  EXPECT_EQ(s.out.str(), "");
  EXPECT_EQ(s.err.str(), "No Kavori Device found.\nPlease connect one, and then try again.\n");
}

TEST(HumanReporter, EndsAnUnansweredQuestionBeforeGoingOn) {
  Streams s;
  const auto reporter = MakeHumanReporter(s.out, s.err, true);
  reporter->Prompt("Program the device now?");
  reporter->Pressed(Press::Cancel);
  reporter->Prompt("Program the device now?");
  reporter->Answered("Program the device now?", true);
  reporter->Pressed(Press::Next);
  EXPECT_EQ(s.out.str(),
            "Program the device now? [y/N] \n> Cancel\nProgram the device now? [y/N] > Next\n");
}

TEST(HumanReporter, DefusesEscapeSequencesFromTheDevice) {
  Streams s;
  const auto reporter = MakeHumanReporter(s.out, s.err, false);
  reporter->Status("\x1B[2JKavori Device was found.", false, std::nullopt);
  // A line break inside a device string forges no line of its own; the message's own stay.
  reporter->SetValueSource([] { return std::vector<std::string>{"K\nStatus: forged"}; });
  reporter->Message("K\nStatus: forged Device was found.\n\nTo continue", false);
  EXPECT_EQ(s.out.str(),
            "Status: ?[2JKavori Device was found.\n\nK?Status: forged Device was found.\n\nTo "
            "continue\n\n");
}

}  // namespace
}  // namespace kavori::cli
