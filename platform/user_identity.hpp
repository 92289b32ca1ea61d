// Who runs the tool (with its groups and seat session), and who is at the other end of a local
// socket: names in the abstract socket namespace are open to every user of the machine, so peers
// are checked by their user id.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kavori::platform::host {

// The real user id of the process.
unsigned CurrentUserId();
// The names of the groups the process belongs to, its real group first; the number of a group
// without a name.
std::vector<std::string> CurrentUserGroups();
// Whether the user has a session that is active on a seat, the session the udev rule's uaccess
// grants the device to; nullopt when the login manager cannot tell.
std::optional<bool> ActiveSeatSession();
// The user id of the process at the other end of the connected local socket `fd`; nullopt when
// the kernel does not say.
std::optional<unsigned> PeerUserId(int fd);

}  // namespace kavori::platform::host
