#include "app/dialog_units.hpp"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>

namespace kavori::app {

namespace {
constexpr int kPointSize = 8;

// units * base / divisor, rounded half away from zero as the original layout engine does.
int Scale(int units, int base, int divisor) {
  const long long product = static_cast<long long>(units) * base;
  const long long half = divisor / 2;
  return static_cast<int>(product >= 0 ? (product + half) / divisor : (product - half) / divisor);
}
}  // namespace

QFont DialogFont() {
  QFont tahoma(QStringLiteral("Tahoma"), kPointSize);
  if (QFontInfo(tahoma).family() == QStringLiteral("Tahoma")) return tahoma;
  QFont sans = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  sans.setPointSize(kPointSize);
  return sans;
}

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int alphabet = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  // The average over 52 letters, rounded.
  baseX_ = (alphabet / 26 + 1) / 2;
  baseY_ = metrics.height();
}

int DialogUnits::X(int units) const { return Scale(units, baseX_, 4); }

int DialogUnits::Y(int units) const { return Scale(units, baseY_, 8); }

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
  return QRect(X(x), Y(y), X(width), Y(height));
}

QSize DialogUnits::Size(int width, int height) const { return QSize(X(width), Y(height)); }

}  // namespace kavori::app
