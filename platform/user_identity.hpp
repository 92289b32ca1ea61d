// Who runs the tool, and who is at the other end of a local socket: names in the abstract socket
// namespace are open to every user of the machine, so peers are checked by their user id.
#pragma once

#include <optional>

namespace kavori::platform::host {

// The real user id of the process.
unsigned CurrentUserId();
// The user id of the process at the other end of the connected local socket `fd`; nullopt when
// the kernel does not say.
std::optional<unsigned> PeerUserId(int fd);

}  // namespace kavori::platform::host
