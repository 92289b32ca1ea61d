// A simulated Kavori (or several, beside a foreign keyboard) behind the platform interfaces, so
// the real device-link code runs against it in-process.
//
// Each Kavori is a KavoriModel (sim/kavori_model.hpp); a replug makes it reappear under a new
// path. Every reply goes to every open handle of the device, `latency` after the command.
//
// Time is lazy: there are no threads; each call brings the world up to steady_clock's now. All
// state sits behind one mutex, so every function here and every object handed out by Services()
// may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.hpp"
#include "sim/kavori_model.hpp"
#include "sim/sim_options.hpp"

namespace kavori::sim {

// The foreign HID interface that always comes first in enumeration.
inline constexpr std::uint16_t kForeignVendorId = 0x046D;
inline constexpr std::uint16_t kForeignProductId = 0xC31C;

// One output report as the device received it.
struct ReceivedReport {
  std::vector<std::uint8_t> bytes;  // exactly as written, report id first
  std::uint8_t command = 0;         // byte 3, 0 for a report shorter than 4 bytes
};

struct DeviceSnapshot {
  bool present = false;
  bool loaderMode = false;  // from the product id (high byte 0x81), also while absent
  std::uint16_t productId = 0;
  std::uint16_t release = 0;
  std::string path;                    // current interface path; empty while absent
  std::string serial;                  // UTF-8
  std::vector<std::uint8_t> flash;     // what the last burn wrote; empty before any burn
  std::vector<std::uint8_t> download;  // what the latest loader session received
  std::vector<ReceivedReport> reports;
  unsigned opens = 0;        // successful Open() calls on this device, over its whole life
  unsigned openHandles = 0;  // handles on it that are not destroyed yet
};

namespace detail {
class SimCore;
}

class SimulatedWorld {
 public:
  explicit SimulatedWorld(SimOptions options);
  ~SimulatedWorld();
  SimulatedWorld(const SimulatedWorld&) = delete;
  SimulatedWorld& operator=(const SimulatedWorld&) = delete;

  // The services to install into the device link. They stay valid while this object lives;
  // handles they opened may outlive it and then report Gone. Any thread.
  platform::Platform Services();

  // Number of simulated Kavoris (the `devices` option). Any thread.
  std::size_t DeviceCount() const;
  // State of Kavori `index`; nullopt when there is no such device. Any thread.
  std::optional<DeviceSnapshot> Snapshot(std::size_t index) const;
  // Whether this process holds the simulated in-use lock now. Any thread.
  bool LockHeld() const;

  // The user pulls Kavori `index` out: its handles report Gone at once and blocked reads wake;
  // a pending reappearance is cancelled. Any thread.
  void Unplug(std::size_t index);
  // The user plugs it back in under a new path (as whatever a pending reappearance would have
  // made it, else as it was). Harmless while present. Any thread.
  void Plug(std::size_t index);

 private:
  std::shared_ptr<detail::SimCore> core_;
  std::unique_ptr<platform::HidBackend> hid_;
  std::unique_ptr<platform::InUseLock> lock_;
  std::unique_ptr<platform::DeviceInstanceList> instances_;
  std::unique_ptr<platform::NodeHolders> holders_;
};

}  // namespace kavori::sim
