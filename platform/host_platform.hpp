// The real operating-system services of this host, owned together, for a front end to install
// when it programs a connected device rather than the simulated one.
#pragma once

#include <memory>

#include "platform/diagnostics.hpp"
#include "platform/platform.hpp"

namespace kavori::platform::host {

// Lives for as long as anything uses the services it hands out (in practice: the process).
class HostPlatform {
 public:
  HostPlatform() = default;
  virtual ~HostPlatform() = default;
  HostPlatform(const HostPlatform&) = delete;
  HostPlatform& operator=(const HostPlatform&) = delete;

  // Pointers into this object.
  virtual Platform Services() = 0;
};

// Why nodes were passed over goes to `diagnostics` (may be null), which must outlive the result.
std::unique_ptr<HostPlatform> MakeHostPlatform(DiagnosticsLog* diagnostics = nullptr);

}  // namespace kavori::platform::host
