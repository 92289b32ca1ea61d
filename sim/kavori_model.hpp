// The Kavori's protocol and state without a transport or a clock: what the device does about
// each output report. The in-process SimulatedWorld and the USB gadget device of the guest tests
// both drive it, so the two cannot drift apart.
//
// Normal mode answers nothing but acts on prepare by replugging, after the replug delay, into
// loader mode. Loader mode answers enter, data blocks (which must follow each other from offset
// 0), burn and verify with device::ReplyAck or kSimFailureCode, and acts on restart by
// replugging, after the restart delay, into normal mode with the release number of the burned
// image. Faults from the options come first. The reports and codes are those of
// device/protocol.hpp.
//
// Not thread-safe: the owner serialises every call.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/sim_options.hpp"

namespace kavori::sim {

// The reply of a refused command (out-of-order block, nak fault, ...).
inline constexpr std::uint8_t kSimFailureCode = 0x01;

// How the device's presence on the bus changes after a report.
enum class Presence {
  Stays,
  Vanishes,  // for good, until the user plugs it back in
  Replugs,   // vanishes and comes back by itself
};

struct ModelResponse {
  std::optional<std::uint8_t> reply;  // the code the device sends back, if any
  Presence presence = Presence::Stays;
  // Replugs only: how long the device stays away and what it is when it is back.
  std::chrono::milliseconds after{0};
  std::uint16_t productId = 0;
  std::uint16_t release = 0;
};

// Loader mode ids are 0x81xx; prepare turns normal id xx into 0x81xx and restart back.
constexpr bool IsSimLoaderId(std::uint16_t productId) { return (productId >> 8) == 0x81; }

class KavoriModel {
 public:
  // Takes the identity, the replug and restart behaviour and the faults of `options`.
  explicit KavoriModel(const SimOptions& options);

  // One output report as the host wrote it, report id first; bytes past its end count as zero,
  // as the HID driver pads a short report.
  ModelResponse Receive(std::span<const std::uint8_t> report);
  // The owner took the device off the bus (after Vanishes or Replugs, or the user pulled it):
  // a loader session ends with it.
  void Vanished();
  // The device is back on the bus as `productId` with `release`.
  void Reappear(std::uint16_t productId, std::uint16_t release);

  std::uint16_t ProductId() const { return productId_; }
  std::uint16_t Release() const { return release_; }
  // What the last burn wrote; empty before any burn.
  const std::vector<std::uint8_t>& Flash() const { return flash_; }
  // What the latest loader session received.
  const std::vector<std::uint8_t>& Download() const { return download_; }

 private:
  const Fault* MatchFault(SimCommand command, std::uint64_t blockOffset) const;

  std::uint16_t productId_;
  std::uint16_t release_;
  std::optional<std::chrono::milliseconds> replugDelay_;
  ReplugTarget replugInto_;
  std::chrono::milliseconds restartDelay_;
  std::vector<Fault> faults_;
  bool session_ = false;  // enter received since the device last appeared
  std::vector<std::uint8_t> download_;
  std::vector<std::uint8_t> flash_;
};

}  // namespace kavori::sim
