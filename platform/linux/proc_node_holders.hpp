// Who holds a device node open, from /proc/PID/fd of every process this user may inspect.
#pragma once

#include <string>
#include <vector>

#include "platform/node_holders.hpp"

namespace kavori::platform::host {

class ProcNodeHolders final : public NodeHolders {
 public:
  // `procRoot`: where the proc file system is mounted (a test may point elsewhere).
  explicit ProcNodeHolders(std::string procRoot = "/proc");
  // A descriptor counts when it leads to the same device (a character or block node: the same
  // device number, under whatever name) or the same file. This process's own descriptors do not
  // count; processes whose fd directory this user may not read are passed over.
  std::vector<LockHolder> OtherHolders(const std::string& path) override;

 private:
  const std::string procRoot_;
};

}  // namespace kavori::platform::host
