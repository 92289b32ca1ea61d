#include "cli/text.hpp"

#include <QStringDecoder>
#include <algorithm>
#include <cctype>

namespace kavori::cli {

QString DecodeText(const std::string& bytes) {
  QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
  QString text = utf8(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
  if (!utf8.hasError()) return text;
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string TerminalText(const std::string& bytes) {
  QString text = DecodeText(bytes);
  for (QChar& c : text) {
    if (c != u'\n' && c.category() == QChar::Other_Control) c = u'?';
  }
  return text.toStdString();
}

std::optional<int> ProgressPercentOf(std::string_view status) {
  constexpr std::string_view kPrefix = "Programming, ";
  constexpr std::string_view kSuffix = "% completed.";
  if (!status.starts_with(kPrefix) || !status.ends_with(kSuffix)) return std::nullopt;
  const std::string_view digits =
      status.substr(kPrefix.size(), status.size() - kPrefix.size() - kSuffix.size());
  if (digits.empty() || digits.size() > 3) return std::nullopt;
  int percent = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    percent = percent * 10 + (c - '0');
  }
  if (percent > 100) return std::nullopt;
  return percent;
}

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
