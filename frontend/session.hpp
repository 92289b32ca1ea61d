// One run of the wizard with everything it stands on: the operating-system services (the host's
// own, or a simulated Kavori), the UI-thread poster and the wizard. Both front ends build one.
//
// Destruction keeps the one safe order: the wizard is torn down (workers joined, link closed,
// image released) and goes, then the link, the poster, and only then the services.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/device_link.hpp"
#include "frontend/ui_poster.hpp"
#include "sim/sim_options.hpp"
#include "wizard/wizard.hpp"

namespace kavori::sim {
class SimulatedWorld;
}
namespace kavori::platform::host {
class HostPlatform;
}

namespace kavori::frontend {

// The environment variable through which the window is pointed at a simulated Kavori; its value
// takes the options of `kavori-flash --simulate=OPTIONS` (empty: the default device).
inline constexpr char kSimulateVariable[] = "KAVORI_SIMULATE";

// What the environment asks for: `simulate` empty when the variable is unset (the host's own
// devices). False, with `error` naming the fault, when its value does not parse.
bool SimulationFromEnvironment(std::optional<sim::SimOptions>& simulate, std::string& error);

// The full path of the current directory, where the firmware files are searched; empty when it
// cannot be read.
std::string CurrentDirectory();

// A simulated Kavori as a run leaves it.
struct SimulatedDevice {
  bool present = false;
  bool loaderMode = false;
  std::uint16_t productId = 0;
  std::uint16_t release = 0;
  std::string flashSha256;  // lower-case hex of SHA-256 over the flash bytes
};

class Session {
 public:
  // UI thread, with a QCoreApplication. The view must outlive the session. `simulate`: a
  // simulated Kavori with these options instead of the host's devices. `pauses`: the device's
  // fixed pauses, real unless a test of the window shortens them. std::runtime_error when
  // the services cannot be installed or the poster cannot be made.
  Session(wizard::WizardView& view, std::string firmwareDirectory,
          std::optional<sim::SimOptions> simulate, platform::Pauses pauses = platform::Pauses{});
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  wizard::Wizard& Wizard() { return *wizard_; }
  // Tears the current wizard down and makes a new one on the same services and link, for the
  // next device of a series. UI thread.
  wizard::Wizard& NextWizard();
  // The device link, for what looks at the device without the wizard (the diagnose report).
  device::DeviceLink& Link() { return *link_; }
  // Tears the wizard down and stops the poster: nothing a worker posted runs after it. The
  // services stay until destruction. Idempotent. UI thread.
  void End();
  // The values from the device and the chosen file that the wizard's texts may hold now: a front
  // end shows them defused (frontend::TerminalText). UI thread.
  std::vector<std::string> ShownValues() const;

  bool Simulated() const { return world_ != nullptr; }
  // The first simulated device as it stands now; nullopt without simulation or without devices.
  // Any thread.
  std::optional<SimulatedDevice> DescribeSimulatedDevice() const;

 private:
  // Before the services, which write to it.
  platform::DiagnosticsLog diagnostics_;
  std::unique_ptr<sim::SimulatedWorld> world_;
  std::unique_ptr<platform::host::HostPlatform> host_;
  std::unique_ptr<QtUiPoster> poster_;
  std::unique_ptr<device::DeviceLink> link_;
  std::unique_ptr<wizard::Wizard> wizard_;
  wizard::WizardView& view_;
  const std::string firmwareDirectory_;
};

}  // namespace kavori::frontend
