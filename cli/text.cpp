#include "cli/text.hpp"

#include <algorithm>
#include <cctype>

namespace kavori::cli {

std::string ProgressLine(int percent, std::string_view status) {
  const int filled = std::clamp(percent, 0, 100) * kProgressBarWidth / 100;
  std::string line = "[";
  line.append(static_cast<std::size_t>(filled), '#');
  line.append(static_cast<std::size_t>(kProgressBarWidth - filled), ' ');
  line += "] ";
  line += status;
  return line;
}

bool IsYes(std::string_view answer) {
  const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (!answer.empty() && blank(answer.front())) answer.remove_prefix(1);
  while (!answer.empty() && blank(answer.back())) answer.remove_suffix(1);
  std::string lower(answer);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  return lower == "y" || lower == "yes";
}

}  // namespace kavori::cli
