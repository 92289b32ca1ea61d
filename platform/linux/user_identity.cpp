#include "platform/user_identity.hpp"

#include <sys/socket.h>
#include <unistd.h>

namespace kavori::platform::host {

unsigned CurrentUserId() { return static_cast<unsigned>(::getuid()); }

std::optional<unsigned> PeerUserId(int fd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof credentials)
    return std::nullopt;
  return static_cast<unsigned>(credentials.uid);
}

}  // namespace kavori::platform::host
