// The wizard's texts on their way to the screen. They are 8-bit strings: fixed English, device
// strings narrowed byte by byte, file names as the file system holds them.
#pragma once

#include <QString>
#include <string>
#include <vector>

namespace kavori::frontend {

// UTF-8 when `bytes` is valid UTF-8, else Latin-1 (what byte-wise narrowing produces).
QString DecodeText(const std::string& bytes);
// DecodeText as UTF-8, with every control character but the line break replaced by '?', so that
// a device or file name cannot send escape sequences to a terminal or a log.
std::string TerminalText(const std::string& bytes);
// One value from a file name, a file's bytes or a device: like TerminalText, but the line break
// becomes '?' too, so that the value cannot forge a line of its own.
std::string TerminalValue(const std::string& bytes);
// A text composed of fixed words and `values`: every occurrence of a value is shown as
// TerminalValue (the longest value first), the rest as TerminalText. Each piece is decoded on its
// own, so a Latin-1 serial beside a UTF-8 file name leaves the name as it is.
std::string TerminalText(const std::string& text, std::vector<std::string> values);

}  // namespace kavori::frontend
