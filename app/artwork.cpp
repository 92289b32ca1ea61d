#include "app/artwork.hpp"

#include <QtGlobal>

// Q_INIT_RESOURCE names a function in the global namespace.
static void InitArtworkResource() { Q_INIT_RESOURCE(artwork); }

namespace kavori::app {

void LoadArtwork() { InitArtworkResource(); }

}  // namespace kavori::app
