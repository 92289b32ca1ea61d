#include "frontend/text.hpp"

#include <gtest/gtest.h>

namespace kavori::frontend {
namespace {

TEST(Text, DecodesUtf8AndFallsBackToLatin1) {
  EXPECT_EQ(DecodeText("Kavori \xC3\xA9"), QString::fromUtf8("Kavori \xC3\xA9"));
  // A product string narrowed byte by byte: 0xE9 alone is no UTF-8.
  EXPECT_EQ(DecodeText("Kavori \xE9"), QString::fromUtf8("Kavori \xC3\xA9"));
}

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

// A value may not forge a line; the fixed text around it keeps its line breaks, and each piece is
// decoded on its own.
TEST(Text, ValuesInAComposedTextStayOnTheirLine) {
  EXPECT_EQ(TerminalValue("a\nb\x1B"), "a?b?");
  EXPECT_EQ(
      TerminalText("File: ev\nil.hex\nDevice S/N: caf\xE9", {"ev\nil.hex", "caf\xE9", "\xC3\xA9"}),
      "File: ev?il.hex\nDevice S/N: caf\xC3\xA9");
  // The longer value wins where two start at the same place.
  EXPECT_EQ(TerminalText("K\nX\n done", {"K", "K\nX"}), "K?X\n done");
  EXPECT_EQ(TerminalText("no values\n", {}), "no values\n");
}

}  // namespace
}  // namespace kavori::frontend
