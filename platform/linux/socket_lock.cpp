#include "platform/linux/socket_lock.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

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

namespace {

// The inode of the socket bound to the abstract `name`, from /proc/net/unix, where such a path
// shows as "@name".
std::optional<std::string> BoundInode(const std::string& name) {
  std::ifstream table("/proc/net/unix");
  std::string line;
  std::getline(table, line);  // the header
  while (std::getline(table, line)) {
    // Num RefCount Protocol Flags Type St Inode Path
    std::istringstream fields(line);
    std::string num, refs, protocol, flags, type, state, inode;
    if (!(fields >> num >> refs >> protocol >> flags >> type >> state >> inode)) continue;
    std::string path;
    std::getline(fields >> std::ws, path);
    if (path == "@" + name) return inode;
  }
  return std::nullopt;
}

}  // namespace

std::optional<LockHolder> AbstractSocketLock::Holder() {
  const std::optional<std::string> inode = BoundInode(name_);
  if (!inode) return std::nullopt;
  const std::string target = "socket:[" + *inode + "]";
  std::error_code error;
  for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
    const std::string pid = process.path().filename().string();
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code skip;
    for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", skip)) {
      std::error_code unreadable;
      if (std::filesystem::read_symlink(fd.path(), unreadable).string() != target) continue;
      LockHolder holder;
      holder.pid = std::stoi(pid);
      std::ifstream comm(process.path() / "comm");
      std::getline(comm, holder.command);
      return holder;
    }
  }
  return std::nullopt;
}

void AbstractSocketLock::Release() {
  const std::lock_guard lock(mutex_);
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

}  // namespace kavori::platform::host
