// The few POSIX services the terminal front end needs beside Qt: terminal checks, the
// termination signals as a readable descriptor, a wake-up counter and plain reads. Each
// descriptor here is watched by a QSocketNotifier on the UI thread.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

namespace kavori::platform::host {

bool IsTerminal(int fd);
// A closed stdout pipe then fails a write instead of killing the tool mid-programming.
void IgnoreBrokenPipe();

// A descriptor that its object closes; the front end watches Fd() with a QSocketNotifier.
class OwnedDescriptor {
 public:
  ~OwnedDescriptor();
  OwnedDescriptor(const OwnedDescriptor&) = delete;
  OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;

  int Fd() const { return fd_; }

 protected:
  explicit OwnedDescriptor(int fd) : fd_(fd) {}
  const int fd_;
};

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

// An eventfd: Signal() from any thread makes Fd() readable until Clear() on the reader's thread.
class WakeCounter : public OwnedDescriptor {
 public:
  // nullptr when no eventfd can be made.
  static std::unique_ptr<WakeCounter> Open();
  void Signal();
  void Clear();

 private:
  using OwnedDescriptor::OwnedDescriptor;
};

// One read(2) of at most `length` bytes: the count (0 at end of file), or nullopt on an error
// other than an interruption.
std::optional<std::size_t> ReadSome(int fd, char* buffer, std::size_t length);

}  // namespace kavori::platform::host
