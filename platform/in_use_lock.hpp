// The system-wide mark that one application uses the device. Taken atomically; the kernel
// releases it when the holder exits, so a crashed holder never leaves it stale.
#pragma once

#include <optional>
#include <string>

namespace kavori::platform {

// The name shared with other applications of the device.
inline constexpr char kInUseLockName[] = "Global\\brmUsbDllDataFile";

// A process that holds the lock, as far as the system lets this user see it.
struct LockHolder {
  int pid = 0;
  std::string command;  // the process's command name
};

enum class LockResult {
  Acquired,  // this process holds the lock now
  InUse,     // someone holds it already, this process included
  Failed,    // the lock could not be created for another reason
};

class InUseLock {
 public:
  virtual ~InUseLock() = default;
  virtual LockResult Acquire() = 0;
  // Releases the lock when this object holds it; harmless otherwise.
  virtual void Release() = 0;
  // Who holds the lock now, when that can be learnt; nullopt when it is free, or the holder
  // cannot be seen (another user's process, say).
  virtual std::optional<LockHolder> Holder() { return std::nullopt; }
};

}  // namespace kavori::platform
