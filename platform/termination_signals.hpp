// The signals that ask a process to end, taken as events of the UI thread, so that a front end
// can refuse them while the device is being programmed.
#pragma once

#include <memory>

#include "platform/owned_descriptor.hpp"

namespace kavori::platform::host {

// SIGINT, SIGQUIT (Ctrl-\, which would otherwise kill the process and dump a core), SIGTERM and
// SIGHUP (the terminal closed), blocked and delivered through a signalfd instead of a handler, so
// they are handled on the UI thread like any other event and all take the same path. Open() must
// run before any thread exists: the threads started later inherit the blocked mask and leave the
// signals to the descriptor.
class TerminationSignals : public OwnedDescriptor {
 public:
  // nullptr (and the signals left as they were) when no signalfd can be made.
  static std::unique_ptr<TerminationSignals> Open();
  // Consumes the pending signals; true when there was at least one.
  bool Take();

 private:
  using OwnedDescriptor::OwnedDescriptor;
};

}  // namespace kavori::platform::host
