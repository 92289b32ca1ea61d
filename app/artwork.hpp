// The rendered artwork (wizard picture, icon) that the executable carries as Qt resources, each
// rendered from its SVG at 1x and at 2x the device pixel ratio.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace kavori::app {

// Registers the artwork under ":/kavori/"; harmless to call more than once.
void LoadArtwork();

// The artwork `name` ("wizard-picture", "app-icon") for a screen of `devicePixelRatio`: the 2x
// rendering (its ratio set to 2, so that its size in device-independent pixels stays that of the
// 1x one) above a ratio of 1, else the 1x rendering. Call LoadArtwork() first.
QPixmap ArtworkPixmap(const char* name, qreal devicePixelRatio);
// The application icon with both renderings, for whatever ratio the window system asks.
QIcon AppIcon();

}  // namespace kavori::app
