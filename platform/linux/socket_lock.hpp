// The in-use lock as a bound abstract Unix socket: binding a name is atomic, the name is seen by
// every process and user of the network namespace, no file is written, and the kernel frees the
// name when the holder's socket closes, at the latest when the holder dies.
//
// Thread-safe: Acquire and Release may be called from any thread.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "platform/in_use_lock.hpp"

namespace kavori::platform::host {

class AbstractSocketLock final : public InUseLock {
 public:
  // Tests pass names of their own so as not to meet a running tool.
  explicit AbstractSocketLock(std::string name = kInUseLockName);
  ~AbstractSocketLock() override;
  AbstractSocketLock(const AbstractSocketLock&) = delete;
  AbstractSocketLock& operator=(const AbstractSocketLock&) = delete;

  // Acquired; InUse when the name is bound already, by this object too; Failed otherwise
  // (no socket, or a name too long for an abstract address).
  LockResult Acquire() override;
  void Release() override;
  // The process whose socket is bound to the name: the socket's inode from /proc/net/unix, then
  // the process among those this user may inspect that has it open.
  std::optional<LockHolder> Holder() override;

 private:
  const std::string name_;
  std::mutex mutex_;
  int fd_ = -1;  // guarded by mutex_; the bound socket while held
};

}  // namespace kavori::platform::host
