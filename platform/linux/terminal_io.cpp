#include "platform/terminal_io.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace kavori::platform::host {

bool IsTerminal(int fd) { return ::isatty(fd) == 1; }

void IgnoreBrokenPipe() { ::signal(SIGPIPE, SIG_IGN); }

std::optional<std::size_t> ReadSome(int fd, char* buffer, std::size_t length) {
  for (;;) {
    const ssize_t n = ::read(fd, buffer, length);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return std::nullopt;
  }
}

}  // namespace kavori::platform::host
