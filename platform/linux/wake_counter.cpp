#include "platform/wake_counter.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace kavori::platform::host {

OwnedDescriptor::~OwnedDescriptor() { ::close(fd_); }

std::unique_ptr<WakeCounter> WakeCounter::Open() {
  const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return nullptr;
  return std::unique_ptr<WakeCounter>(new WakeCounter(fd));
}

void WakeCounter::Signal() {
  const std::uint64_t one = 1;
  // Fails only when the counter would overflow, and then it is readable anyway.
  while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void WakeCounter::Clear() {
  std::uint64_t count = 0;
  while (::read(fd_, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

}  // namespace kavori::platform::host
