// The command line of kavori-flash, parsed without side effects.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/sim_options.hpp"

namespace kavori::cli {

inline constexpr unsigned kDefaultWaitSeconds = 120;
inline constexpr unsigned kMaxWaitSeconds = 86400;
inline constexpr unsigned kMaxReplyTimeoutMs = 32766;
inline constexpr unsigned kMaxRepeat = 1000000;

struct CliOptions {
  // Where the firmware files are searched; the current directory when empty.
  std::string directory;
  // The image to program, as named on the command line; the folder is searched when empty.
  std::string file;
  // Replaces the 30000 ms default of device::ReplyTimeoutMs when set (1..32766).
  std::optional<std::uint16_t> replyTimeoutMs;
  bool json = false;
  bool yes = false;
  bool dryRun = false;
  // With --yes: program an image of the device's own version, or an older one.
  bool allowReinstall = false;
  bool allowOlder = false;
  // Report what the wizard would see and decide, changing nothing.
  bool diagnose = false;
  unsigned waitSeconds = kDefaultWaitSeconds;
  // With no Kavori connected at start, wait this long for one (0: do not wait).
  unsigned waitForDeviceSeconds = 0;
  // --log FILE: one JSON line per device appended to FILE.
  std::string logPath;
  // --history: print the history of earlier runs and end.
  bool history = false;
  // --repeat [N]: one device after another, N of them (0: until interrupted between devices).
  bool repeat = false;
  unsigned repeatCount = 0;
  // The simulated Kavori instead of the real platform when set.
  std::optional<sim::SimOptions> simulate;
};

struct ParseOutcome {
  enum class Kind { Run, Help, Version, Error };
  Kind kind = Kind::Run;
  CliOptions options;  // meaningful for Run
  std::string error;   // one line, for Error
};

// `arguments` excludes the program name. Options take their value as "--opt=VALUE" or as the
// next argument, except --simulate, whose options only follow "=", and --repeat, whose count
// is optional: "--repeat=N", or the next argument when it is all digits. One argument that is no
// option names the image (FILE). Unknown options, a second FILE, repeated options, missing values
// and numbers out of range or with trailing characters are errors. Arguments are read in order: the
// first error, --help or --version decides. Any thread.
ParseOutcome ParseCommandLine(const std::vector<std::string>& arguments);

// The text that --help prints.
std::string UsageText();

}  // namespace kavori::cli
