#include "cli/options.hpp"

#include <gtest/gtest.h>

namespace kavori::cli {
namespace {

using Kind = ParseOutcome::Kind;

struct GoodCase {
  const char* name;
  std::vector<std::string> arguments;
  std::string directory;
  std::optional<std::uint16_t> replyTimeoutMs;
  bool json;
  bool yes;
  bool dryRun;
  unsigned waitSeconds;
  bool simulate;
};

class GoodCommandLine : public ::testing::TestWithParam<GoodCase> {};

TEST_P(GoodCommandLine, SetsExactlyTheGivenOptions) {
  const GoodCase& c = GetParam();
  const ParseOutcome outcome = ParseCommandLine(c.arguments);
  ASSERT_EQ(outcome.kind, Kind::Run) << outcome.error;
  const CliOptions& o = outcome.options;
  EXPECT_EQ(o.directory, c.directory);
  EXPECT_EQ(o.replyTimeoutMs, c.replyTimeoutMs);
  EXPECT_EQ(o.json, c.json);
  EXPECT_EQ(o.yes, c.yes);
  EXPECT_EQ(o.dryRun, c.dryRun);
  EXPECT_EQ(o.waitSeconds, c.waitSeconds);
  EXPECT_EQ(o.simulate.has_value(), c.simulate);
}

INSTANTIATE_TEST_SUITE_P(
    Options, GoodCommandLine,
    ::testing::Values(
        GoodCase{"Nothing", {}, "", std::nullopt, false, false, false, 120, false},
        GoodCase{"Flags",
                 {"--json", "--yes", "--dry-run"},
                 "",
                 std::nullopt,
                 true,
                 true,
                 true,
                 120,
                 false},
        GoodCase{
            "DirSeparate", {"--dir", "fw"}, "fw", std::nullopt, false, false, false, 120, false},
        GoodCase{"DirInline", {"--dir=a=b"}, "a=b", std::nullopt, false, false, false, 120, false},
        GoodCase{"TimeoutLow", {"--reply-timeout-ms", "1"}, "", 1, false, false, false, 120, false},
        GoodCase{"TimeoutHigh",
                 {"--reply-timeout-ms=32766"},
                 "",
                 32766,
                 false,
                 false,
                 false,
                 120,
                 false},
        GoodCase{
            "WaitBounds", {"--wait", "86400"}, "", std::nullopt, false, false, false, 86400, false},
        GoodCase{"WaitOne", {"--wait=1"}, "", std::nullopt, false, false, false, 1, false},
        GoodCase{
            "SimulateDefaults", {"--simulate"}, "", std::nullopt, false, false, false, 120, true},
        GoodCase{
            "SimulateEmpty", {"--simulate="}, "", std::nullopt, false, false, false, 120, true},
        GoodCase{"SimulateOptions",
                 {"--simulate=pid=0x8105,replug=50", "--yes"},
                 "",
                 std::nullopt,
                 false,
                 true,
                 false,
                 120,
                 true}),
    [](const auto& info) { return std::string(info.param.name); });

struct BadCase {
  const char* name;
  std::vector<std::string> arguments;
  const char* errorPart;  // the reason must name the culprit
};

class BadCommandLine : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadCommandLine, IsRefusedWithAReason) {
  const BadCase& c = GetParam();
  const ParseOutcome outcome = ParseCommandLine(c.arguments);
  ASSERT_EQ(outcome.kind, Kind::Error);
  EXPECT_NE(outcome.error.find(c.errorPart), std::string::npos) << outcome.error;
  EXPECT_EQ(outcome.error.find('\n'), std::string::npos) << "the reason is one line";
}

INSTANTIATE_TEST_SUITE_P(
    Options, BadCommandLine,
    ::testing::Values(
        BadCase{"Unknown", {"--force"}, "--force"}, BadCase{"UnknownShort", {"-y"}, "-y"},
        BadCase{"SecondFile", {"a.hex", "firmware.hex"}, "firmware.hex"},
        BadCase{"FileAndDir", {"--dir=x", "a.hex"}, "--dir"},
        BadCase{"FileIsAFolder", {"images/"}, "images/"},
        BadCase{"DiagnoseWithFile", {"--diagnose", "a.hex"}, "FILE"},
        BadCase{"MissingDir", {"--dir"}, "--dir"}, BadCase{"EmptyDir", {"--dir="}, "--dir"},
        BadCase{"MissingTimeout", {"--json", "--reply-timeout-ms"}, "--reply-timeout-ms"},
        BadCase{"TimeoutZero", {"--reply-timeout-ms", "0"}, "\"0\""},
        BadCase{"TimeoutTooBig", {"--reply-timeout-ms=32767"}, "32767"},
        BadCase{"TimeoutHuge", {"--reply-timeout-ms=99999999999999999999999"}, "9999"},
        BadCase{"TimeoutNegative", {"--reply-timeout-ms=-5"}, "-5"},
        BadCase{"TimeoutPlus", {"--reply-timeout-ms=+5"}, "+5"},
        BadCase{"TimeoutHex", {"--reply-timeout-ms=0x10"}, "0x10"},
        BadCase{"WaitTrailing", {"--wait", "12x"}, "12x"},
        BadCase{"WaitSpace", {"--wait", " 12"}, " 12"}, BadCase{"WaitEmpty", {"--wait="}, "--wait"},
        BadCase{"WaitZero", {"--wait=0"}, "\"0\""},
        BadCase{"WaitTooLong", {"--wait=86401"}, "86401"},
        BadCase{"WaitForDeviceZero", {"--wait-for-device=0"}, "\"0\""},
        BadCase{"RepeatZero", {"--repeat=0"}, "--repeat"},
        BadCase{"FlagWithValue", {"--json=yes"}, "--json"},
        BadCase{"Twice", {"--yes", "--yes"}, "more than once"},
        BadCase{"TwiceMixed", {"--dir=a", "--dir", "b"}, "more than once"},
        BadCase{"SimulateSeparateValue", {"--simulate", "pid=5"}, "pid=5"},
        BadCase{"SimulateBadKey", {"--simulate=colour=red"}, "colour"},
        BadCase{"SimulateBadValue", {"--simulate=pid=0x10000"}, "pid"},
        BadCase{"SimulateBadFault", {"--simulate=nak=dance"}, "nak"},
        BadCase{"DiagnoseWithDefaultWait", {"--diagnose", "--wait", "120"}, "--diagnose"},
        BadCase{"DiagnoseWithYes", {"--yes", "--diagnose"}, "--diagnose"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CommandLine, SimulateOptionsReachTheSimulator) {
  const ParseOutcome outcome = ParseCommandLine({"--simulate=pid=0x8105,replug=never,nak=data@56"});
  ASSERT_EQ(outcome.kind, Kind::Run) << outcome.error;
  ASSERT_TRUE(outcome.options.simulate);
  EXPECT_EQ(outcome.options.simulate->productId, 0x8105);
  EXPECT_FALSE(outcome.options.simulate->replugDelay.has_value());
  ASSERT_EQ(outcome.options.simulate->faults.size(), 1u);
  EXPECT_EQ(outcome.options.simulate->faults[0].offset, 56u);
}

// The count of --repeat is optional: a FILE after it is no count.
TEST(CommandLine, RepeatTakesAnOptionalCount) {
  const struct {
    std::vector<std::string> arguments;
    unsigned count;
    std::string file;
  } cases[] = {
      {{"--repeat", "3", "a.hex"}, 3, "a.hex"},
      {{"--repeat", "a.hex"}, 0, "a.hex"},
      {{"--repeat=12"}, 12, ""},
      {{"--repeat"}, 0, ""},
  };
  for (const auto& c : cases) {
    const ParseOutcome outcome = ParseCommandLine(c.arguments);
    ASSERT_EQ(outcome.kind, Kind::Run) << outcome.error;
    EXPECT_TRUE(outcome.options.repeat);
    EXPECT_EQ(outcome.options.repeatCount, c.count);
    EXPECT_EQ(outcome.options.file, c.file);
  }
}

TEST(CommandLine, FirstOfHelpVersionOrErrorDecides) {
  EXPECT_EQ(ParseCommandLine({"--help"}).kind, Kind::Help);
  EXPECT_EQ(ParseCommandLine({"-h", "--bogus"}).kind, Kind::Help);
  EXPECT_EQ(ParseCommandLine({"--version", "--json"}).kind, Kind::Version);
  EXPECT_EQ(ParseCommandLine({"--bogus", "--help"}).kind, Kind::Error);
  EXPECT_EQ(ParseCommandLine({"--version=1"}).kind, Kind::Error);
}

TEST(CommandLine, UsageNamesEveryOptionAndExitCode) {
  const std::string usage = UsageText();
  for (const char* part : {"--dir", "--reply-timeout-ms", "--json", "--yes", "--dry-run", "--wait",
                           "--simulate", "--help", "--version", "64", "130"})
    EXPECT_NE(usage.find(part), std::string::npos) << part;
}

}  // namespace
}  // namespace kavori::cli
