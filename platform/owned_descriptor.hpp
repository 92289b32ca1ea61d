// A file descriptor that its object closes; front ends watch Fd() with a QSocketNotifier.
#pragma once

namespace kavori::platform::host {

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

}  // namespace kavori::platform::host
