#include "cli/text.hpp"

#include <gtest/gtest.h>

namespace kavori::cli {
namespace {

TEST(Text, TerminalTextKeepsLineBreaksAndDefusesControls) {
  EXPECT_EQ(TerminalText("a\nb"), "a\nb");
  EXPECT_EQ(TerminalText("Kav\x1B]0;owned\x07ori"), "Kav?]0;owned?ori");
  EXPECT_EQ(TerminalText("tab\there\rcr"), "tab?here?cr");
  // 0x9B is the one-byte control sequence introducer in Latin-1.
  EXPECT_EQ(TerminalText("x\x9B"
                         "2J"),
            "x?2J");
  EXPECT_EQ(TerminalText("caf\xE9"), "caf\xC3\xA9");
}

TEST(Text, ProgressLineFillsTheBarInProportion) {
  EXPECT_EQ(ProgressLine(0, "s"), "[" + std::string(kProgressBarWidth, ' ') + "] s");
  EXPECT_EQ(ProgressLine(50, "s"), "[" + std::string(kProgressBarWidth / 2, '#') +
                                       std::string(kProgressBarWidth / 2, ' ') + "] s");
  EXPECT_EQ(ProgressLine(100, "s"), "[" + std::string(kProgressBarWidth, '#') + "] s");
}

TEST(Text, OnlyYesMeansYes) {
  for (const char* yes : {"y", "Y", "yes", "YES", " yes \r", "Yes\t"})
    EXPECT_TRUE(IsYes(yes)) << yes;
  for (const char* no : {"", "n", "no", "yess", "y y", "ja", "1"}) EXPECT_FALSE(IsYes(no)) << no;
}

}  // namespace
}  // namespace kavori::cli
