// Dialog units: the layout of the two dialogs is given in them, so that it scales with the
// dialog font. One horizontal unit is a quarter of the font's average character width, one
// vertical unit an eighth of its height.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace kavori::app {

// 8-point Tahoma where it is installed, else the platform's sans serif at 8 points.
QFont DialogFont();

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);

  int X(int units) const;
  int Y(int units) const;
  QRect Rect(int x, int y, int width, int height) const;
  QSize Size(int width, int height) const;

  int BaseX() const { return baseX_; }
  int BaseY() const { return baseY_; }

 private:
  int baseX_;
  int baseY_;
};

}  // namespace kavori::app
