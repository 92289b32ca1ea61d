#include "app/artwork.hpp"

#include <QString>
#include <QtGlobal>

// Q_INIT_RESOURCE names a function in the global namespace.
static void InitArtworkResource() { Q_INIT_RESOURCE(artwork); }

namespace kavori::app {

namespace {
QString ResourcePath(const char* name, int scale) {
  return QStringLiteral(":/kavori/") + QString::fromLatin1(name) +
         (scale > 1 ? QStringLiteral("@%1x.png").arg(scale) : QStringLiteral(".png"));
}
}  // namespace

void LoadArtwork() { InitArtworkResource(); }

QPixmap ArtworkPixmap(const char* name, qreal devicePixelRatio) {
  const int scale = devicePixelRatio > 1.0 ? 2 : 1;
  QPixmap pixmap(ResourcePath(name, scale));
  pixmap.setDevicePixelRatio(scale);
  return pixmap;
}

QIcon AppIcon() {
  QIcon icon;
  icon.addFile(ResourcePath("app-icon", 1));
  icon.addFile(ResourcePath("app-icon", 2));
  return icon;
}

}  // namespace kavori::app
