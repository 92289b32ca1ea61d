// Why kavori-flash ended, in words; the codes themselves are in frontend/exit_codes.hpp.
#pragma once

#include <string>

namespace kavori::cli {

// One line on why the tool ended with `code`; empty for 0.
std::string ExitReason(int code);

}  // namespace kavori::cli
