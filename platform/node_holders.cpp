#include "platform/node_holders.hpp"

namespace kavori::platform {

std::string HolderText(const LockHolder& holder) {
  return "process " + std::to_string(holder.pid) + " (" + holder.command + ")";
}

}  // namespace kavori::platform
