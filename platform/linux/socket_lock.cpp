#include "platform/linux/socket_lock.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace kavori::platform::host {

AbstractSocketLock::AbstractSocketLock(std::string name) : name_(std::move(name)) {}

AbstractSocketLock::~AbstractSocketLock() { Release(); }

LockResult AbstractSocketLock::Acquire() {
  const std::lock_guard lock(mutex_);
  if (fd_ >= 0) return LockResult::InUse;

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // An abstract name: a leading zero byte, then the name's bytes, no terminator.
  if (name_.size() + 1 > sizeof(address.sun_path)) return LockResult::Failed;
  std::memcpy(address.sun_path + 1, name_.data(), name_.size());
  const auto addressLength =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name_.size());

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return LockResult::Failed;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), addressLength) != 0) {
    const int error = errno;
    ::close(fd);
    return error == EADDRINUSE ? LockResult::InUse : LockResult::Failed;
  }
  fd_ = fd;
  return LockResult::Acquired;
}

void AbstractSocketLock::Release() {
  const std::lock_guard lock(mutex_);
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

}  // namespace kavori::platform::host
