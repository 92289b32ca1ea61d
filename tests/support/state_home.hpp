// XDG_STATE_HOME pointed at a fresh folder for as long as the object lives, so that the windows a
// test program runs, in its own process and in those it starts, keep their history there and never
// in the user's.
#pragma once

#include <QByteArray>

#include "support/scratch_dir.hpp"

namespace kavori::testing {

class OwnStateHome {
 public:
  OwnStateHome() { qputenv("XDG_STATE_HOME", QByteArray::fromStdString(dir_.Path())); }
  OwnStateHome(const OwnStateHome&) = delete;
  OwnStateHome& operator=(const OwnStateHome&) = delete;

 private:
  ScratchDir dir_;
};

}  // namespace kavori::testing
