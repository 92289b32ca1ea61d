// Texts on their way to the terminal.
#pragma once

#include <string>
#include <string_view>

namespace kavori::cli {

// The progress bar drawn for a progress status: a bar of kProgressBarWidth cells, then the status.
inline constexpr int kProgressBarWidth = 30;
std::string ProgressLine(int percent, std::string_view status);

// Whether a typed answer means yes ("y" or "yes" in any case, surrounding blanks ignored).
bool IsYes(std::string_view answer);

}  // namespace kavori::cli
