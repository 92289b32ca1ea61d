#include "platform/user_identity.hpp"

#include <grp.h>
#include <sys/socket.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <algorithm>

namespace kavori::platform::host {

unsigned CurrentUserId() { return static_cast<unsigned>(::getuid()); }

std::vector<std::string> CurrentUserGroups() {
  std::vector<gid_t> ids{::getgid()};
  const int count = ::getgroups(0, nullptr);
  if (count > 0) {
    std::vector<gid_t> supplementary(static_cast<std::size_t>(count));
    const int got = ::getgroups(count, supplementary.data());
    for (int k = 0; k < got; ++k) {
      if (std::find(ids.begin(), ids.end(), supplementary[k]) == ids.end())
        ids.push_back(supplementary[k]);
    }
  }
  std::vector<std::string> names;
  std::vector<char> buffer(16384);
  for (const gid_t id : ids) {
    group entry{};
    group* found = nullptr;
    if (::getgrgid_r(id, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
      names.emplace_back(found->gr_name);
    else
      names.push_back(std::to_string(id));
  }
  return names;
}

std::optional<bool> ActiveSeatSession() {
  const int seats = ::sd_uid_get_seats(::getuid(), 1, nullptr);
  if (seats < 0) return std::nullopt;
  return seats > 0;
}

std::optional<unsigned> PeerUserId(int fd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof credentials)
    return std::nullopt;
  return static_cast<unsigned>(credentials.uid);
}

}  // namespace kavori::platform::host
