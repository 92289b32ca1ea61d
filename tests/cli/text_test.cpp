#include "cli/text.hpp"

#include <gtest/gtest.h>

namespace kavori::cli {
namespace {

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
