#include "frontend/text.hpp"

#include <QStringDecoder>

namespace kavori::frontend {

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

}  // namespace kavori::frontend
