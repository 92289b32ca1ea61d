// What the JSON event tests compare: the lines a run wrote, without their times.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <regex>
#include <string>

namespace kavori::cli {

// The lines without the `t` field that every one of them must end with.
inline std::string WithoutTime(const std::string& lines) {
  static const std::regex time(",\"t\":[0-9.e+-]+[}]\n");
  const auto timed =
      std::distance(std::sregex_iterator(lines.begin(), lines.end(), time), std::sregex_iterator());
  EXPECT_EQ(timed, std::count(lines.begin(), lines.end(), '\n')) << lines;
  return std::regex_replace(lines, time, "}\n");
}

}  // namespace kavori::cli
