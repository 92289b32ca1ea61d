// The few POSIX services the terminal front end needs beside Qt: terminal checks, the
// termination signals as a readable descriptor and plain reads. The signal descriptor is watched
// by a QSocketNotifier on the UI thread.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "platform/linux/owned_descriptor.hpp"

namespace kavori::platform::host {

bool IsTerminal(int fd);
// A closed stdout pipe then fails a write instead of killing the tool mid-programming.
void IgnoreBrokenPipe();

// SIGINT and SIGTERM, blocked and delivered through a signalfd instead of a handler, so they are
// handled on the UI thread like any other event. Open() must run before any thread exists: the
// threads started later inherit the blocked mask and leave the signals to the descriptor.
class TerminationSignals : public OwnedDescriptor {
 public:
  // nullptr (and the signals left as they were) when no signalfd can be made.
  static std::unique_ptr<TerminationSignals> Open();
  // Consumes the pending signals; true when there was at least one.
  bool Take();

 private:
  using OwnedDescriptor::OwnedDescriptor;
};

// One read(2) of at most `length` bytes: the count (0 at end of file), or nullopt on an error
// other than an interruption.
std::optional<std::size_t> ReadSome(int fd, char* buffer, std::size_t length);

}  // namespace kavori::platform::host
