// The rendered artwork (wizard picture, icon) that the executable carries as Qt resources.
#pragma once

namespace kavori::app {

// Registers the artwork under ":/kavori/"; harmless to call more than once.
void LoadArtwork();

}  // namespace kavori::app
