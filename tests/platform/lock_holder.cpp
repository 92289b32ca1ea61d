// Test helper: takes the in-use lock named by argv[1] (the device's own, kInUseLockName, when no
// name is given) in a process of its own, reports the outcome on stdout ("Acquired", "InUse" or
// "Failed") and holds the lock until stdin closes or the process is killed.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/in_use_lock.hpp"
#include "platform/linux/socket_lock.hpp"

int main(int argc, char** argv) {
  if (argc > 2) {
    std::fprintf(stderr, "usage: %s [LOCK-NAME]\n", argv[0]);
    return 2;
  }
  kavori::platform::host::AbstractSocketLock lock(argc == 2 ? argv[1]
                                                            : kavori::platform::kInUseLockName);
  const kavori::platform::LockResult result = lock.Acquire();
  const char* text = result == kavori::platform::LockResult::Acquired ? "Acquired\n"
                     : result == kavori::platform::LockResult::InUse  ? "InUse\n"
                                                                      : "Failed\n";
  std::fputs(text, stdout);
  std::fflush(stdout);
  char byte = 0;
  while (::read(STDIN_FILENO, &byte, 1) > 0) {
  }
  return 0;
}
