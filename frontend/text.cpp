#include "frontend/text.hpp"

#include <QStringDecoder>
#include <algorithm>

namespace kavori::frontend {

namespace {

std::string Defused(const std::string& bytes, bool keepLineBreaks) {
  QString text = DecodeText(bytes);
  for (QChar& c : text) {
    if (c.category() == QChar::Other_Control && !(keepLineBreaks && c == u'\n')) c = u'?';
  }
  return text.toStdString();
}

}  // namespace

QString DecodeText(const std::string& bytes) {
  QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
  QString text = utf8(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
  if (!utf8.hasError()) return text;
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string TerminalText(const std::string& bytes) { return Defused(bytes, true); }

std::string TerminalValue(const std::string& bytes) { return Defused(bytes, false); }

std::string TerminalText(const std::string& text, std::vector<std::string> values) {
  std::erase_if(values, [](const std::string& value) { return value.empty(); });
  std::sort(values.begin(), values.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  std::string shown;
  std::size_t plain = 0;  // where the text since the last value starts
  std::size_t at = 0;
  while (at < text.size()) {
    const auto value = std::find_if(values.begin(), values.end(), [&](const std::string& v) {
      return text.compare(at, v.size(), v) == 0;
    });
    if (value == values.end()) {
      ++at;
      continue;
    }
    shown += TerminalText(text.substr(plain, at - plain)) + TerminalValue(*value);
    at += value->size();
    plain = at;
  }
  return shown + TerminalText(text.substr(plain));
}

}  // namespace kavori::frontend
