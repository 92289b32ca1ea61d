// The wizard's texts on their way to the screen. They are 8-bit strings: fixed English, device
// strings narrowed byte by byte, file names as the file system holds them.
#pragma once

#include <QString>
#include <string>

namespace kavori::frontend {

// UTF-8 when `bytes` is valid UTF-8, else Latin-1 (what byte-wise narrowing produces).
QString DecodeText(const std::string& bytes);
// DecodeText as UTF-8, with every control character but the line break replaced by '?', so that
// a device or file name cannot send escape sequences to a terminal or a log.
std::string TerminalText(const std::string& bytes);

}  // namespace kavori::frontend
