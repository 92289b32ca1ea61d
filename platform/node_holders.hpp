// Other processes that hold a device node open. On Linux the other applications of the device
// take no in-use lock, so the device link asks here before it uses the Kavori's node: a softphone
// that holds it could write its own reports into a download.
#pragma once

#include <string>
#include <vector>

#include "platform/in_use_lock.hpp"

namespace kavori::platform {

class NodeHolders {
 public:
  virtual ~NodeHolders() = default;
  // The processes other than this one that hold `path` open now, as far as this user may see
  // them (another user's processes stay unseen), in ascending pid order; empty when none is seen.
  // Any thread.
  virtual std::vector<LockHolder> OtherHolders(const std::string& path) = 0;
};

// "process 1234 (softphone)": the way every diagnostic names a holder.
std::string HolderText(const LockHolder& holder);

}  // namespace kavori::platform
