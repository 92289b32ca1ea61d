// Feeds arbitrary text to the simulated device's option parser, which reads what a user types
// after --simulate= or into KAVORI_SIMULATE. It must never crash or throw; an accepted text must
// hold values within the declared bounds and survive being written out and read back.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "sim/sim_options.hpp"
#include "sim/simulated_world.hpp"

namespace {

using namespace kavori::sim;

void Check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// UTF-16 code units of `text` when it is strict UTF-8 (no overlong forms, no surrogates, nothing
// past U+10FFFF); nullopt otherwise. Written apart from the parser so that the two can disagree.
std::optional<std::size_t> Utf16Units(std::string_view text) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<std::uint8_t>(text[i]);
    std::size_t more = 0;
    std::uint32_t cp = 0;
    if (b < 0x80) {
      cp = b;
    } else if (b >= 0xC2 && b <= 0xDF) {
      more = 1;
      cp = b & 0x1Fu;
    } else if (b >= 0xE0 && b <= 0xEF) {
      more = 2;
      cp = b & 0x0Fu;
    } else if (b >= 0xF0 && b <= 0xF4) {
      more = 3;
      cp = b & 0x07u;
    } else {
      return std::nullopt;
    }
    if (text.size() - i <= more) return std::nullopt;
    for (std::size_t k = 1; k <= more; ++k) {
      const auto c = static_cast<std::uint8_t>(text[i + k]);
      if ((c & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (c & 0x3Fu);
    }
    const std::uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
    if (cp < smallest[more] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    units += cp >= 0x10000 ? 2 : 1;
    i += more + 1;
  }
  return units;
}

const char* CommandName(SimCommand command) {
  switch (command) {
    case SimCommand::Prepare:
      return "prepare";
    case SimCommand::Enter:
      return "enter";
    case SimCommand::Data:
      return "data";
    case SimCommand::Burn:
      return "burn";
    case SimCommand::Verify:
      return "verify";
    case SimCommand::Restart:
      return "restart";
  }
  return "?";
}

const char* FaultName(FaultKind kind) {
  switch (kind) {
    case FaultKind::Nak:
      return "nak";
    case FaultKind::Silent:
      return "silent";
    case FaultKind::Unplug:
      return "unplug";
  }
  return "?";
}

// The options as option text, every key given.
std::string Format(const SimOptions& o) {
  std::string text =
      "pid=" + std::to_string(o.productId) + ",release=" + std::to_string(o.release) +
      ",product=" + o.product + ",serial=" + o.serial + ",devices=" + std::to_string(o.devices) +
      ",lock=" + (o.lockHeld ? "held" : "free") +
      ",replug=" + (o.replugDelay ? std::to_string(o.replugDelay->count()) : "never") +
      ",replug-into=" + (o.replugInto == ReplugTarget::Normal ? "normal" : "loader") +
      ",restart=" + std::to_string(o.restartDelay.count()) +
      ",latency-us=" + std::to_string(o.latency.count()) +
      ",list=" + (o.listUnreadable ? "unreadable" : "readable");
  for (const Fault& fault : o.faults) {
    text += std::string(",") + FaultName(fault.kind) + "=" + CommandName(fault.command);
    if (fault.offset) text += "@" + std::to_string(*fault.offset);
  }
  return text;
}

bool Equal(const SimOptions& a, const SimOptions& b) {
  if (a.faults.size() != b.faults.size()) return false;
  for (std::size_t i = 0; i < a.faults.size(); ++i) {
    if (a.faults[i].kind != b.faults[i].kind || a.faults[i].command != b.faults[i].command ||
        a.faults[i].offset != b.faults[i].offset)
      return false;
  }
  return a.productId == b.productId && a.release == b.release && a.product == b.product &&
         a.serial == b.serial && a.devices == b.devices && a.lockHeld == b.lockHeld &&
         a.replugDelay == b.replugDelay && a.replugInto == b.replugInto &&
         a.restartDelay == b.restartDelay && a.latency == b.latency &&
         a.listUnreadable == b.listUnreadable;
}

void CheckSane(const SimOptions& o) {
  Check(o.devices <= kMaxSimDevices, "devices within bounds");
  Check(!o.replugDelay || (o.replugDelay->count() >= 0 &&
                           static_cast<std::uint64_t>(o.replugDelay->count()) <= kMaxSimDelayMs),
        "replug delay within bounds");
  Check(o.restartDelay.count() >= 0 &&
            static_cast<std::uint64_t>(o.restartDelay.count()) <= kMaxSimDelayMs,
        "restart delay within bounds");
  Check(o.latency.count() >= 0 && static_cast<std::uint64_t>(o.latency.count()) <= kMaxSimLatencyUs,
        "latency within bounds");
  for (const std::string* text : {&o.product, &o.serial}) {
    const std::optional<std::size_t> units = Utf16Units(*text);
    Check(units.has_value(), "strings are UTF-8");
    Check(*units <= kMaxSimStringUnits, "strings fit a USB string descriptor");
    Check(text->find(',') == std::string::npos, "strings hold no item separator");
  }
  for (const Fault& fault : o.faults) {
    Check(!fault.offset || fault.command == SimCommand::Data, "only data faults carry an offset");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    std::string error = "stale";
    const std::optional<SimOptions> options = ParseSimOptions(text, error);
    if (!options) {
      Check(!error.empty() && error != "stale", "a refusal says why");
      return 0;
    }
    Check(error.empty(), "an accepted text leaves no error");
    CheckSane(*options);

    const std::string again = Format(*options);
    std::string againError;
    const std::optional<SimOptions> reparsed = ParseSimOptions(again, againError);
    Check(reparsed.has_value(), "the written-out options are accepted");
    Check(Equal(*options, *reparsed), "the written-out options read back the same");

    // The world the options describe can be built, and lists what they say.
    SimulatedWorld world(*options);
    Check(world.DeviceCount() == options->devices, "one simulated Kavori per device");
    const auto instances = world.Services().instances->Read();
    Check(instances.has_value() != options->listUnreadable, "the list is unreadable on request");
    if (instances) Check(instances->size() == options->devices + 1, "the Kavoris and a keyboard");
  } catch (...) {
    Check(false, "the option parser never throws");
  }
  return 0;
}
