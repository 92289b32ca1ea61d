// What the simulated Kavori looks like and which faults it shows, and the one parser for the
// option text that tests, `kavori-flash --simulate=OPTIONS` and KAVORI_SIMULATE share.
//
// Syntax: comma-separated key=value items, the empty text meaning all defaults:
//   pid=N  release=N  serial=TEXT  product=TEXT  devices=N  lock=held|free  held-by=PID:COMMAND
//   replug=MS|never  replug-into=loader|normal  restart=MS  latency-us=N
//   nak=CMD[@OFFSET]  silent=CMD[@OFFSET]  unplug=CMD[@OFFSET]  list=unreadable|readable
//   series=N  arrive=MS
// Numbers are decimal or 0x-hex. CMD is prepare, enter, data, burn, verify or restart; OFFSET
// (data only) is the image offset of the block the fault hits. Fault keys may be repeated (the
// first fault that matches a report wins); every other key may be given once.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kavori::sim {

enum class SimCommand { Prepare, Enter, Data, Burn, Verify, Restart };

enum class FaultKind {
  Nak,     // answers kSimFailureCode and does not carry the command out
  Silent,  // neither answers nor carries the command out
  Unplug,  // vanishes on receipt, for good (until SimulatedWorld::Plug)
};

struct Fault {
  FaultKind kind = FaultKind::Nak;
  SimCommand command = SimCommand::Enter;
  // Data blocks only: the image offset of the block hit. Without it every block is hit.
  std::optional<std::uint32_t> offset;
};

enum class ReplugTarget { Loader, Normal };

// Upper bounds of the option values.
inline constexpr unsigned kMaxSimDevices = 16;
inline constexpr std::size_t kMaxSimStringUnits = 126;  // UTF-16 code units, as USB allows
inline constexpr std::uint64_t kMaxSimDelayMs = 600'000;
inline constexpr std::uint64_t kMaxSimLatencyUs = 600'000'000;

struct SimOptions {
  std::uint16_t productId = 0x0005;
  std::uint16_t release = 0x0103;
  std::string product = "Kavori";                 // UTF-8
  std::string serial = "KAVSBL01234567890ABCDE";  // UTF-8; device i > 0 gets i in its last two
  unsigned devices = 1;                           // identical Kavoris; 0 means none present
  bool lockHeld = false;                          // another process holds the in-use lock
  // Another process (pid, command name) holds every Kavori's node open, as a softphone would.
  std::optional<std::pair<int, std::string>> heldBy;
  // After prepare in normal mode the device vanishes and comes back after this delay; nullopt
  // ("never") means the user never replugs it, so it stays present in normal mode.
  std::optional<std::chrono::milliseconds> replugDelay = std::chrono::milliseconds(2000);
  ReplugTarget replugInto = ReplugTarget::Loader;
  // After restart in loader mode the device vanishes and comes back in normal mode after this.
  std::chrono::milliseconds restartDelay{1000};
  std::chrono::microseconds latency{0};  // from a command to its reply becoming readable
  std::vector<Fault> faults;
  bool listUnreadable = false;  // the device instance list cannot be read
  // Kavoris programmed one after another on a bench: only the first is plugged in; a moment after
  // one has come back from its restart it is unplugged, and the next (with its own serial) is
  // plugged in a moment later. 1 means the one device. Excludes devices > 1.
  unsigned series = 1;
  // The devices present at start (the first of a series) are plugged in this long after the
  // world is made instead.
  std::optional<std::chrono::milliseconds> arrival;
};

// The moments a series leaves between a restarted device's return, its unplugging and the next
// device's arrival.
inline constexpr std::chrono::milliseconds kSeriesUnplugAfter{300};
inline constexpr std::chrono::milliseconds kSeriesNextAfter{300};

// Parses the option text. Returns nullopt and sets `error` to a message that names the offending
// key (or item) on bad input; never throws. Any thread.
std::optional<SimOptions> ParseSimOptions(std::string_view text, std::string& error);

}  // namespace kavori::sim
