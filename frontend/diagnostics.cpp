#include "frontend/diagnostics.hpp"

#include <algorithm>

#include "firmware/product_ids.hpp"
#include "frontend/install_paths.hpp"

namespace kavori::frontend {

std::string UdevRulePath() { return std::string(kUdevRulesDir) + "/70-kavori.rules"; }

std::optional<std::string> PermissionHint(const std::vector<platform::Diagnostic>& causes) {
  const bool kavoriDenied =
      std::any_of(causes.begin(), causes.end(), [](const platform::Diagnostic& cause) {
        return cause.permissionDenied && cause.vendorId == firmware::kVendorId;
      });
  if (!kavoriDenied) return std::nullopt;
  return "a Kavori is connected, but this user may not open it: install the udev rule " +
         UdevRulePath() +
         " (the package does), then run \"sudo udevadm control --reload-rules && sudo udevadm "
         "trigger\" and reconnect the device";
}

std::vector<std::string> DiagnosticLines(const std::vector<platform::Diagnostic>& causes) {
  std::vector<std::string> lines;
  for (const platform::Diagnostic& cause : causes) lines.push_back(cause.text);
  if (std::optional<std::string> hint = PermissionHint(causes)) lines.push_back(std::move(*hint));
  return lines;
}

std::vector<std::string> WindowCauseLines(const std::vector<platform::Diagnostic>& causes) {
  std::vector<std::string> lines;
  for (const platform::Diagnostic& cause : causes) {
    if (cause.heldOpenByOther || (cause.permissionDenied && cause.vendorId == firmware::kVendorId))
      lines.push_back(cause.text);
  }
  if (std::optional<std::string> hint = PermissionHint(causes)) lines.push_back(std::move(*hint));
  return lines;
}

}  // namespace kavori::frontend
