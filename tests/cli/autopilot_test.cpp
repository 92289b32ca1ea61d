#include "cli/autopilot.hpp"

#include <gtest/gtest.h>

#include "frontend/exit_codes.hpp"

namespace kavori::cli {
namespace {

// Buttons as the step machine leaves them on its pages.
constexpr Page NextOnly(int step) { return {step, true, false, false}; }
constexpr Page BackOnly(int step) { return {step, false, true, false}; }
constexpr Page FinishOnly(int step) { return {step, false, false, true}; }
constexpr Page BackAndFinish(int step) { return {step, false, true, true}; }
constexpr Page FinishAndNext(int step) { return {step, true, false, true}; }
constexpr Page NoButton(int step) { return {step, false, false, false}; }

struct Case {
  const char* name;
  Page page;
  bool watchingReconnect;
  bool programmingFailed;
  Policy policy;
  Move move;
  int exitCode;  // checked for PressFinish and Cancel
  bool entryInProgress = false;
};

constexpr Policy kConfirmed{false, true, false};
constexpr Policy kUnconfirmedPipe{false, false, false};
constexpr Policy kUnconfirmedTerminal{false, false, true};
constexpr Policy kDryRun{true, true, true};

class Decisions : public ::testing::TestWithParam<Case> {};

TEST_P(Decisions, PressWhatTheUserWould) {
  const Case& c = GetParam();
  Situation situation;
  situation.page = c.page;
  situation.watchingReconnect = c.watchingReconnect;
  situation.programmingFailed = c.programmingFailed;
  situation.entryInProgress = c.entryInProgress;
  const Decision decision = Decide(situation, c.policy);
  EXPECT_EQ(decision.move, c.move);
  if (decision.move == Move::PressFinish || decision.move == Move::Cancel) {
    EXPECT_EQ(decision.exitCode, c.exitCode);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pages, Decisions,
    ::testing::Values(
        Case{"Welcome", NextOnly(0), false, false, kUnconfirmedPipe, Move::PressNext, 0},
        Case{"DeviceFound", NextOnly(1), false, false, kUnconfirmedPipe, Move::PressNext, 0},
        Case{"DeviceNotFound", BackOnly(1), false, false, kConfirmed, Move::Cancel,
             frontend::kExitDeviceSearch},
        Case{"FirmwareNotFound", BackOnly(2), false, false, kConfirmed, Move::Cancel,
             frontend::kExitFirmwareSearch},
        Case{"InvalidFirmware", BackAndFinish(2), false, false, kConfirmed, Move::PressFinish,
             frontend::kExitFirmwareSearch},
        Case{"TargetError", FinishOnly(2), false, false, kConfirmed, Move::PressFinish,
             frontend::kExitFirmwareSearch},
        Case{"InformationConfirmed", FinishAndNext(2), false, false, kConfirmed, Move::PressNext,
             0},
        Case{"InformationAsksOnTerminal", FinishAndNext(2), false, false, kUnconfirmedTerminal,
             Move::AskConfirmation, 0},
        Case{"InformationWithoutTerminal", FinishAndNext(2), false, false, kUnconfirmedPipe,
             Move::Cancel, frontend::kExitNotConfirmed},
        Case{"DryRunStopsAtInformation", FinishAndNext(2), false, false, kDryRun, Move::Cancel,
             frontend::kExitProgrammed},
        Case{"DryRunStillSearches", NextOnly(1), false, false, kDryRun, Move::PressNext, 0},
        // The firmware search and the pause after prepare leave the page without buttons until
        // they are done.
        Case{"FirmwareSearchGoesOn", NoButton(2), false, false, kConfirmed, Move::Wait, 0, true},
        Case{"PauseAfterPrepareGoesOn", NoButton(3), false, false, kConfirmed, Move::Wait, 0, true},
        Case{"WaitingForReplug", FinishOnly(3), true, false, kConfirmed, Move::AwaitReconnect, 0},
        Case{"PrepareWriteFailed", FinishOnly(3), false, false, kConfirmed, Move::PressFinish,
             frontend::kExitFailed},
        Case{"Reconnected", NextOnly(4), true, false, kUnconfirmedPipe, Move::PressNext, 0},
        Case{"Programming", NoButton(6), false, false, kConfirmed, Move::Wait, 0},
        // The run clears ProgrammingActive before its last report reaches the page.
        Case{"ProgrammingEndedNotYetShown", NoButton(6), false, true, kConfirmed, Move::Wait, 0},
        Case{"IgnitionFailed", FinishOnly(6), false, true, kConfirmed, Move::PressFinish,
             frontend::kExitFailed},
        Case{"Succeeded", FinishOnly(7), false, false, kConfirmed, Move::PressFinish,
             frontend::kExitProgrammed},
        Case{"Failed", FinishOnly(7), false, true, kConfirmed, Move::PressFinish,
             frontend::kExitFailed}),
    [](const auto& info) { return std::string(info.param.name); });

// The information page of a device in normal mode (version 5.02.03) against images of each
// version, with --yes and the two allowances; one row per policy case.
TEST(VersionPolicy, UnattendedRunsProgramOnlyWhatTheyMay) {
  constexpr std::uint32_t kDevice = 0x00050203;
  constexpr std::uint32_t kNewer = 0x00050300;
  constexpr std::uint32_t kOlder = 0x00050116;
  constexpr Policy kYes{false, true, false, true};
  constexpr Policy kYesReinstall{false, true, false, true, true};
  constexpr Policy kYesOlder{false, true, false, true, false, true};
  constexpr int kRefused = frontend::kExitVersionRefused;
  const struct {
    const char* name;
    bool loaderMode;
    std::uint32_t file;
    Policy policy;
    Move move;
    int exitCode;
  } cases[] = {
      {"Newer", false, kNewer, kYes, Move::PressNext, 0},
      {"Same", false, kDevice, kYes, Move::Cancel, kRefused},
      {"SameReinstall", false, kDevice, kYesReinstall, Move::PressNext, 0},
      {"SameOlderAllowed", false, kDevice, kYesOlder, Move::Cancel, kRefused},
      {"Older", false, kOlder, kYes, Move::Cancel, kRefused},
      {"OlderReinstall", false, kOlder, kYesReinstall, Move::Cancel, kRefused},
      {"OlderAllowed", false, kOlder, kYesOlder, Move::PressNext, 0},
      // A device in its loader reports no firmware version: programmed as before.
      {"LoaderMode", true, kOlder, kYes, Move::PressNext, 0},
      // A person reads the page and is asked as before; a dry run changes nothing anyway.
      {"AskedOnTerminal", false, kDevice, kUnconfirmedTerminal, Move::AskConfirmation, 0},
      {"AnsweredYes", false, kOlder, {false, true, true}, Move::PressNext, 0},
      {"DryRun",
       false,
       kDevice,
       {true, true, false, true},
       Move::Cancel,
       frontend::kExitProgrammed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Situation situation;
    situation.page = FinishAndNext(2);
    situation.imageVersion = CompareImageVersion(c.loaderMode, c.file, kDevice);
    const Decision decision = Decide(situation, c.policy);
    EXPECT_EQ(decision.move, c.move);
    if (c.move == Move::Cancel) {
      EXPECT_EQ(decision.exitCode, c.exitCode);
    }
  }
}

}  // namespace
}  // namespace kavori::cli
