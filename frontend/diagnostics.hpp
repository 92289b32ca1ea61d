// The lines both front ends print on stderr when the start-up count or the device search fails:
// each cause, and a hint when the cause is a Kavori this user may not open.
#pragma once

#include <string>
#include <vector>

#include "platform/diagnostics.hpp"

namespace kavori::frontend {

// Where the package installs the rule that gives the logged-in user access to the device.
std::string UdevRulePath();

// The causes' texts in order, followed by the permission hint when one of them is a node of the
// Kavori's vendor that could not be opened for lack of permission.
std::vector<std::string> DiagnosticLines(const std::vector<platform::Diagnostic>& causes);

}  // namespace kavori::frontend
