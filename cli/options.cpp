#include "cli/options.hpp"

#include <string_view>

namespace kavori::cli {

namespace {

struct OptionSpec {
  std::string_view name;
  bool takesValue;
};

constexpr OptionSpec kOptions[] = {
    {"--dir", true},          {"--reply-timeout-ms", true},
    {"--wait", true},         {"--json", false},
    {"--yes", false},         {"--dry-run", false},
    {"--diagnose", false},    {"--allow-reinstall", false},
    {"--allow-older", false}, {"--wait-for-device", true},
    {"--log", true},          {"--history", false},
};

// Decimal digits only, from `minimum` to `maximum`.
std::optional<unsigned> ParseBounded(std::string_view text, unsigned minimum, unsigned maximum) {
  if (text.empty()) return std::nullopt;
  unsigned long long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > maximum) return std::nullopt;
  }
  if (value < minimum) return std::nullopt;
  return static_cast<unsigned>(value);
}

ParseOutcome Error(std::string message) {
  ParseOutcome outcome;
  outcome.kind = ParseOutcome::Kind::Error;
  outcome.error = std::move(message);
  return outcome;
}

const OptionSpec* FindOption(std::string_view name) {
  for (const OptionSpec& option : kOptions) {
    if (option.name == name) return &option;
  }
  return nullptr;
}

// Stores one option's value; an error text when it does not fit.
std::optional<std::string> Apply(std::string_view name, std::string_view value,
                                 CliOptions& options) {
  if (name == "--dir") {
    if (value.empty()) return "--dir needs a directory";
    options.directory = std::string(value);
  } else if (name == "--reply-timeout-ms") {
    const auto ms = ParseBounded(value, 1, kMaxReplyTimeoutMs);
    if (!ms)
      return "--reply-timeout-ms: \"" + std::string(value) + "\" is not a number from 1 to 32766";
    options.replyTimeoutMs = static_cast<std::uint16_t>(*ms);
  } else if (name == "--wait") {
    const auto seconds = ParseBounded(value, 1, kMaxWaitSeconds);
    if (!seconds)
      return "--wait: \"" + std::string(value) + "\" is not a number of seconds from 1 to 86400";
    options.waitSeconds = *seconds;
  } else if (name == "--wait-for-device") {
    const auto seconds = ParseBounded(value, 1, kMaxWaitSeconds);
    if (!seconds)
      return "--wait-for-device: \"" + std::string(value) +
             "\" is not a number of seconds from 1 to 86400";
    options.waitForDeviceSeconds = *seconds;
  } else if (name == "--log") {
    if (value.empty()) return "--log needs a file";
    options.logPath = std::string(value);
  } else if (name == "--history") {
    options.history = true;
  } else if (name == "--json") {
    options.json = true;
  } else if (name == "--yes") {
    options.yes = true;
  } else if (name == "--dry-run") {
    options.dryRun = true;
  } else if (name == "--allow-reinstall") {
    options.allowReinstall = true;
  } else if (name == "--allow-older") {
    options.allowOlder = true;
  } else if (name == "--diagnose") {
    options.diagnose = true;
  }
  return std::nullopt;
}

}  // namespace

ParseOutcome ParseCommandLine(const std::vector<std::string>& arguments) {
  ParseOutcome outcome;
  std::vector<std::string_view> seen;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string_view argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      outcome.kind = ParseOutcome::Kind::Help;
      return outcome;
    }
    if (argument == "--version") {
      outcome.kind = ParseOutcome::Kind::Version;
      return outcome;
    }
    if (!argument.starts_with("-")) {
      // "--simulate pid=5" meant the options, not a FILE named "pid=5" (that one is ./pid=5).
      if (i > 0 && arguments[i - 1] == "--simulate" &&
          argument.find('=') != std::string_view::npos &&
          argument.find('/') == std::string_view::npos)
        return Error("--simulate takes its options after \"=\": --simulate=" +
                     std::string(argument));
      if (!outcome.options.file.empty())
        return Error("unexpected argument \"" + std::string(argument) + "\": one FILE only");
      if (argument.empty()) return Error("FILE is empty");
      if (argument.ends_with('/')) return Error("\"" + std::string(argument) + "\" is no file");
      outcome.options.file = std::string(argument);
      continue;
    }
    if (!argument.starts_with("--"))
      return Error("unknown option " + std::string(argument) + " (a FILE named so: ./" +
                   std::string(argument) + ")");

    const std::size_t equals = argument.find('=');
    const std::string_view name = argument.substr(0, equals);
    const bool hasInlineValue = equals != std::string_view::npos;
    const std::string_view inlineValue =
        hasInlineValue ? argument.substr(equals + 1) : std::string_view();
    for (const std::string_view earlier : seen) {
      if (earlier == name) return Error(std::string(name) + " is given more than once");
    }
    seen.push_back(name);

    if (name == "--repeat") {
      std::string_view count = inlineValue;
      const auto digits = [](std::string_view text) {
        return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
      };
      if (!hasInlineValue && i + 1 < arguments.size() && digits(arguments[i + 1]))
        count = arguments[++i];
      outcome.options.repeat = true;
      if (hasInlineValue || !count.empty()) {
        const auto n = ParseBounded(count, 1, kMaxRepeat);
        if (!n)
          return Error("--repeat: \"" + std::string(count) + "\" is not a number from 1 to " +
                       std::to_string(kMaxRepeat));
        outcome.options.repeatCount = *n;
      }
      continue;
    }
    if (name == "--simulate") {
      std::string error;
      auto simulated = sim::ParseSimOptions(inlineValue, error);
      if (!simulated) return Error("--simulate: " + error);
      outcome.options.simulate = std::move(simulated);
      continue;
    }
    const OptionSpec* option = FindOption(name);
    if (option == nullptr) return Error("unknown option " + std::string(name));
    std::string_view value;
    if (option->takesValue) {
      if (hasInlineValue) {
        value = inlineValue;
      } else if (i + 1 < arguments.size()) {
        value = arguments[++i];
      } else {
        return Error(std::string(name) + " needs a value");
      }
    } else if (hasInlineValue) {
      return Error(std::string(name) + " takes no value");
    }
    if (auto error = Apply(name, value, outcome.options)) return Error(std::move(*error));
  }
  if (!outcome.options.file.empty() && !outcome.options.directory.empty())
    return Error("--dir searches a folder, FILE names the image: give one of them");
  if (outcome.options.diagnose && !outcome.options.file.empty())
    return Error("--diagnose reports on the folder (--dir) and takes no FILE");
  if (outcome.options.history) {
    if (!outcome.options.file.empty())
      return Error("--history prints the history and takes no FILE");
    for (const std::string_view name : seen) {
      if (name != "--history") return Error("--history prints the history and takes no option");
    }
  }
  if (outcome.options.diagnose) {
    // Given, not merely differing from its default: "--wait 120" is as out of place.
    for (const std::string_view name : seen) {
      if (name != "--diagnose" && name != "--dir" && name != "--json" && name != "--simulate")
        return Error("--diagnose changes nothing and takes only --dir, --json and --simulate");
    }
  }
  return outcome;
}

std::string UsageText() {
  return R"(Usage: kavori-flash [OPTIONS] [FILE]

Programs a connected Kavori with FILE, or without FILE with the suitable firmware file (*.hex)
of a directory, the same steps as the wizard dialog, pressing Next for you. FILE gets every
check a found file gets; one that does not suit ends like no suitable file (exit code 4).

Options:
  --dir DIR               search firmware files in DIR (default: the current directory)
  --reply-timeout-ms N    wait at most N ms (1 to 32766) for each device reply (default 30000)
  --yes                   program without asking "Program the device now?"
  --dry-run               stop at the firmware information page; program nothing
  --allow-reinstall       with --yes, program an image of the device's own version
  --allow-older           with --yes, program an image older than the device's firmware
                          (without them --yes ends with exit code 7, sending nothing)
  --wait SECONDS          wait at most this long (1 to 86400, default 120) for the device to
                          be seen back in its loader after it was told to prepare for
                          programming (the settling after that is not counted); the loader is
                          looked for every 0.5 s, so 1 is the smallest value that can succeed
  --wait-for-device SECONDS
                          with no Kavori connected at start, wait this long (1 to 86400) for
                          one to be connected; two or more still end with exit code 2
  --repeat[=N]            after a device has ended, wait for it to be unplugged and for the
                          next one, and go on; end after N devices (default: until Ctrl-C
                          between two devices), with a summary; exit code 0 only if every
                          device was programmed, else the first failure's
  --log FILE              append one JSON line per device to FILE: the result, the image,
                          the device before and after, each step's seconds, the diagnostics
                          (the same line goes to the history as well)
  --history               print the history: the log lines of the last 1000 devices, kept in
                          $XDG_STATE_HOME/kavori/history.jsonl (~/.local/state/kavori/...)
  --json                  one JSON object per line on stdout instead of text
  --diagnose              change nothing; report the devices, the start-up count, the in-use
                          lock and every firmware file as the wizard would judge them
  --simulate[=OPTIONS]    use a simulated Kavori; OPTIONS are comma-separated key=value:
                          pid, release, serial, product, devices, lock=held,
                          held-by=PID:COMMAND, replug=MS|never,
                          replug-into=loader|normal, restart=MS, latency-us,
                          nak=CMD[@OFFSET], silent=CMD[@OFFSET], unplug=CMD[@OFFSET],
                          list=unreadable, series=N, arrive=MS
                          (CMD: prepare enter data burn verify restart)
  -h, --help              show this text
  --version               show the version

Exit codes:
  0 programmed (or --dry-run)      1 programming failed or could not start
  2 not exactly one device         3 device search failed
  4 firmware search failed         5 the device did not come back within --wait
  6 not confirmed                  7 image not newer (--yes, see --allow-reinstall)
  64 bad command line              130 interrupted
)";
}

}  // namespace kavori::cli
