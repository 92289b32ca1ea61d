// Texts on their way to the terminal. The wizard's texts are 8-bit strings: fixed English, device
// strings narrowed byte by byte, file names as the file system holds them.
#pragma once

#include <QString>
#include <optional>
#include <string>
#include <string_view>

namespace kavori::cli {

// UTF-8 when `bytes` is valid UTF-8, else Latin-1 (what byte-wise narrowing produces).
QString DecodeText(const std::string& bytes);
// DecodeText as UTF-8, with every control character but the line break replaced by '?', so that
// a device or file name cannot send escape sequences to the terminal.
std::string TerminalText(const std::string& bytes);

// N of the programming run's status "Programming, N% completed."; nullopt for any other text.
std::optional<int> ProgressPercentOf(std::string_view status);
// The progress bar drawn for that status: a bar of kProgressBarWidth cells, then the status.
inline constexpr int kProgressBarWidth = 30;
std::string ProgressLine(int percent, std::string_view status);

// Whether a typed answer means yes ("y" or "yes" in any case, surrounding blanks ignored).
bool IsYes(std::string_view answer);

}  // namespace kavori::cli
