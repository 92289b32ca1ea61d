// The few POSIX services the terminal front end needs beside Qt: terminal checks and plain reads.
#pragma once

#include <cstddef>
#include <optional>

namespace kavori::platform::host {

bool IsTerminal(int fd);
// A closed stdout pipe then fails a write instead of killing the tool mid-programming.
void IgnoreBrokenPipe();

// One read(2) of at most `length` bytes: the count (0 at end of file), or nullopt on an error
// other than an interruption.
std::optional<std::size_t> ReadSome(int fd, char* buffer, std::size_t length);

}  // namespace kavori::platform::host
