// The lines both front ends print on stderr when the start-up count or the device search fails:
// each cause, and a hint when the cause is a Kavori this user may not open.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/diagnostics.hpp"

namespace kavori::frontend {

// Where the package installs the rule that gives the logged-in user access to the device.
std::string UdevRulePath();

// The way out when one of the causes is a node of the Kavori's vendor that could not be opened for
// lack of permission: the udev rule and the commands that apply it; nullopt otherwise.
std::optional<std::string> PermissionHint(const std::vector<platform::Diagnostic>& causes);

// The causes' texts in order, followed by the permission hint when there is one.
std::vector<std::string> DiagnosticLines(const std::vector<platform::Diagnostic>& causes);

// The causes a window shows below the page's own texts, in the words of DiagnosticLines: those
// that only Linux has and the wizard's own texts cannot tell (a Kavori's node this user may not
// open, with the permission hint; a node another process holds open, with the holder). Empty for
// every other cause, whose page says all there is.
std::vector<std::string> WindowCauseLines(const std::vector<platform::Diagnostic>& causes);

}  // namespace kavori::frontend
