// The simulated Kavori as the --simulate run leaves it.
#pragma once

#include <optional>

#include "cli/json_events.hpp"
#include "sim/simulated_world.hpp"

namespace kavori::cli {

// The first simulated device; nullopt when the world has none. Any thread.
std::optional<DeviceReport> DescribeSimulatedDevice(const sim::SimulatedWorld& world);

}  // namespace kavori::cli
