// What kavori-fwtool decides before it has a window: --help and --version, which need no display,
// and a display that cannot be used, which ends the process with one line and exit status 1
// instead of Qt's abort (and its core dump).
#pragma once

#include <optional>
#include <string>

namespace kavori::app {

// The text of --help.
std::string UsageText();

// What the command line asks for before any window exists: the usage or the version text
// (printed on stdout, exit 0), or nothing (the command line stays the About box's service code).
// Only a command line that is exactly "--help" (or "-h") or "--version" counts.
std::optional<std::string> EarlyAnswer(const std::string& commandLine);

// Why no window can be opened, judged from the environment alone: no display named where the
// platform is chosen by them (QT_QPA_PLATFORM unset, and neither DISPLAY nor WAYLAND_DISPLAY
// set). nullopt when a display may be there.
std::optional<std::string> MissingDisplay();

// Runs `makeApplication` (the QApplication's construction) so that a platform plugin that cannot
// start (a display named but not reachable, a missing plugin) writes one line on stderr and ends
// the process with exit status 1, without abort or core. Qt's own messages of that attempt are
// held back and shown only when the application is made after all.
template <typename Make>
auto WithoutPlatformAbort(Make makeApplication) -> decltype(makeApplication());

namespace detail {
void HoldPlatformMessages();
void ReleasePlatformMessages();
}  // namespace detail

template <typename Make>
auto WithoutPlatformAbort(Make makeApplication) -> decltype(makeApplication()) {
  detail::HoldPlatformMessages();
  auto made = makeApplication();
  detail::ReleasePlatformMessages();
  return made;
}

}  // namespace kavori::app
