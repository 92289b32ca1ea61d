// The system-wide mark that one application uses the device. Taken atomically; the kernel
// releases it when the holder exits, so a crashed holder never leaves it stale.
#pragma once

namespace kavori::platform {

// The name shared with other applications of the device.
inline constexpr char kInUseLockName[] = "Global\\brmUsbDllDataFile";

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
};

}  // namespace kavori::platform
