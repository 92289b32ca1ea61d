#include "platform/diagnostics.hpp"

#include <cstdio>
#include <utility>

namespace kavori::platform {

void DiagnosticsLog::Add(Diagnostic diagnostic) {
  std::lock_guard guard(mutex_);
  if (entries_.size() == kCapacity) entries_.erase(entries_.begin());
  entries_.push_back(std::move(diagnostic));
}

std::vector<Diagnostic> DiagnosticsLog::Take() {
  std::lock_guard guard(mutex_);
  std::vector<Diagnostic> taken;
  taken.swap(entries_);
  return taken;
}

std::string UsbIdText(std::uint16_t id) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(id));
  return text;
}

}  // namespace kavori::platform
