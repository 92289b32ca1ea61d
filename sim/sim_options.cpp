#include "sim/sim_options.hpp"

#include <array>
#include <set>
#include <utility>

#include "device/protocol.hpp"
#include "sim/utf16.hpp"

namespace kavori::sim {
namespace {

constexpr std::array<std::pair<std::string_view, SimCommand>, 6> kCommandNames{{
    {"prepare", SimCommand::Prepare},
    {"enter", SimCommand::Enter},
    {"data", SimCommand::Data},
    {"burn", SimCommand::Burn},
    {"verify", SimCommand::Verify},
    {"restart", SimCommand::Restart},
}};

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

// Decimal or 0x-hex, no sign, no spaces, at most `maximum`.
std::optional<std::uint64_t> ParseNumber(std::string_view text, std::uint64_t maximum) {
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    unsigned digit = 0;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = static_cast<unsigned>(c - 'A' + 10);
    else
      return std::nullopt;
    if (value > maximum / base) return std::nullopt;
    value *= base;
    if (digit > maximum - value) return std::nullopt;
    value += digit;
  }
  return value;
}

class Parser {
 public:
  explicit Parser(std::string& error) : error_(error) {}

  bool Item(std::string_view item) {
    if (item.empty())
      return Fail("empty item in simulation options (two commas, or a comma at an end)");
    const auto equals = item.find('=');
    if (equals == std::string_view::npos)
      return Fail("simulation option " + Quoted(item) + " has no value (expected key=value)");
    const std::string_view key = item.substr(0, equals);
    const std::string_view value = item.substr(equals + 1);
    const bool isFault = key == "nak" || key == "silent" || key == "unplug";
    if (!isFault && !seen_.insert(std::string(key)).second)
      return Fail("simulation option " + Quoted(key) + " is given more than once");
    if (key == "pid")
      return Number(key, value, 0xFFFF, "a number from 0 to 0xFFFF", options_.productId);
    if (key == "release")
      return Number(key, value, 0xFFFF, "a number from 0 to 0xFFFF", options_.release);
    if (key == "devices")
      return Number(key, value, kMaxSimDevices, "a number from 0 to 16", options_.devices);
    if (key == "series") {
      if (!Number(key, value, kMaxSimDevices, "a number from 1 to 16", options_.series))
        return false;
      if (options_.series == 0) return Bad(key, value, "a number from 1 to 16");
      return true;
    }
    if (key == "arrive") {
      std::chrono::milliseconds delay{};
      if (!Delay(key, value, kDelayText, delay)) return false;
      options_.arrival = delay;
      return true;
    }
    if (key == "serial") return Text(key, value, options_.serial);
    if (key == "product") return Text(key, value, options_.product);
    if (key == "lock") return Choice(key, value, "held", "free", options_.lockHeld);
    if (key == "held-by") return Holder(key, value);
    if (key == "list") return Choice(key, value, "unreadable", "readable", options_.listUnreadable);
    if (key == "replug-into") {
      bool normal = false;
      if (!Choice(key, value, "normal", "loader", normal)) return false;
      options_.replugInto = normal ? ReplugTarget::Normal : ReplugTarget::Loader;
      return true;
    }
    if (key == "replug") {
      if (value == "never") {
        options_.replugDelay.reset();
        return true;
      }
      std::chrono::milliseconds delay{};
      if (!Delay(key, value, "milliseconds from 0 to 600000, or never", delay)) return false;
      options_.replugDelay = delay;
      return true;
    }
    if (key == "restart") return Delay(key, value, kDelayText, options_.restartDelay);
    if (key == "latency-us") {
      std::uint64_t us = 0;
      if (!Number(key, value, kMaxSimLatencyUs, "microseconds from 0 to 600000000", us))
        return false;
      options_.latency = std::chrono::microseconds(us);
      return true;
    }
    if (key == "nak") return FaultItem(key, value, FaultKind::Nak);
    if (key == "silent") return FaultItem(key, value, FaultKind::Silent);
    if (key == "unplug") return FaultItem(key, value, FaultKind::Unplug);
    return Fail("unknown simulation option " + Quoted(key));
  }

  SimOptions Take() { return std::move(options_); }

 private:
  bool Fail(std::string message) {
    error_ = std::move(message);
    return false;
  }

  bool Bad(std::string_view key, std::string_view value, std::string_view expected) {
    return Fail("simulation option " + Quoted(key) + ": " + Quoted(value) + " is not " +
                std::string(expected));
  }

  template <typename T>
  bool Number(std::string_view key, std::string_view value, std::uint64_t maximum,
              std::string_view expected, T& out) {
    const auto number = ParseNumber(value, maximum);
    if (!number) return Bad(key, value, expected);
    out = static_cast<T>(*number);
    return true;
  }

  static constexpr std::string_view kDelayText = "milliseconds from 0 to 600000";

  bool Delay(std::string_view key, std::string_view value, std::string_view expected,
             std::chrono::milliseconds& out) {
    std::uint64_t ms = 0;
    if (!Number(key, value, kMaxSimDelayMs, expected, ms)) return false;
    out = std::chrono::milliseconds(ms);
    return true;
  }

  bool Text(std::string_view key, std::string_view value, std::string& out) {
    std::u16string units;
    if (!detail::Utf8ToUtf16(value, units))
      return Fail("simulation option " + Quoted(key) + " is not valid UTF-8");
    if (units.size() > kMaxSimStringUnits)
      return Fail("simulation option " + Quoted(key) + " is longer than 126 characters");
    out = std::string(value);
    return true;
  }

  bool Choice(std::string_view key, std::string_view value, std::string_view yes,
              std::string_view no, bool& out) {
    if (value != yes && value != no)
      return Bad(key, value, std::string(yes) + " or " + std::string(no));
    out = value == yes;
    return true;
  }

  // PID:COMMAND, the pid 1 to 4194304 (Linux's limit), the command 1 to 15 characters (as
  // /proc/PID/comm shows them) without a comma.
  bool Holder(std::string_view key, std::string_view value) {
    const auto colon = value.find(':');
    const std::string_view expected =
        "PID:COMMAND (a pid from 1 to 4194304, a name of 1 to 15 "
        "characters)";
    if (colon == std::string_view::npos) return Bad(key, value, expected);
    const auto pid = ParseNumber(value.substr(0, colon), 4194304);
    const std::string_view command = value.substr(colon + 1);
    if (!pid || *pid == 0 || command.empty() || command.size() > 15)
      return Bad(key, value, expected);
    options_.heldBy = std::make_pair(static_cast<int>(*pid), std::string(command));
    return true;
  }

  bool FaultItem(std::string_view key, std::string_view value, FaultKind kind) {
    Fault fault;
    fault.kind = kind;
    const auto at = value.find('@');
    const std::string_view name = value.substr(0, at);
    bool known = false;
    for (const auto& [commandName, command] : kCommandNames) {
      if (name == commandName) {
        fault.command = command;
        known = true;
      }
    }
    if (!known)
      return Bad(key, value,
                 "CMD[@OFFSET] with CMD one of prepare, enter, data, burn, verify, "
                 "restart");
    if (at != std::string_view::npos) {
      if (fault.command != SimCommand::Data)
        return Fail("simulation option " + Quoted(key) + ": " + Quoted(value) +
                    " has an offset, which only data blocks have");
      const std::string_view offset = value.substr(at + 1);
      const auto number = ParseNumber(offset, 0xFFFFFFFF);
      if (!number) return Bad(key, value, "data@OFFSET with OFFSET a number from 0 to 0xFFFFFFFF");
      // The device is sent blocks at multiples of the block size only: a fault elsewhere would
      // never fire, and the run it was meant to break would pass.
      if (*number % device::kBlockSize != 0)
        return Fail("simulation option " + Quoted(key) + ": " + Quoted(value) +
                    " is no block start (data blocks start at multiples of " +
                    std::to_string(device::kBlockSize) + ")");
      fault.offset = static_cast<std::uint32_t>(*number);
    }
    options_.faults.push_back(fault);
    return true;
  }

  std::string& error_;
  SimOptions options_;
  std::set<std::string> seen_;
};

}  // namespace

std::optional<SimOptions> ParseSimOptions(std::string_view text, std::string& error) {
  Parser parser(error);
  std::size_t start = 0;
  while (!text.empty()) {
    const auto comma = text.find(',', start);
    const auto item =
        text.substr(start, comma == std::string_view::npos ? text.size() - start : comma - start);
    if (!parser.Item(item)) return std::nullopt;
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  SimOptions options = parser.Take();
  if (options.series > 1 && options.devices != 1) {
    error = "simulation options \"series\" and \"devices\" exclude each other";
    return std::nullopt;
  }
  error.clear();
  return options;
}

}  // namespace kavori::sim
