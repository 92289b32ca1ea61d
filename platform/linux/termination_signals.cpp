#include "platform/termination_signals.hpp"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace kavori::platform::host {

namespace {
sigset_t TerminationSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGQUIT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}
}  // namespace

std::unique_ptr<TerminationSignals> TerminationSignals::Open() {
  const sigset_t set = TerminationSet();
  sigset_t previous;
  if (::pthread_sigmask(SIG_BLOCK, &set, &previous) != 0) return nullptr;
  const int fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) {
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return nullptr;
  }
  return std::unique_ptr<TerminationSignals>(new TerminationSignals(fd));
}

bool TerminationSignals::Take() {
  bool any = false;
  signalfd_siginfo info;
  while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) any = true;
  return any;
}

}  // namespace kavori::platform::host
