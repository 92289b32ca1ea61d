// A simulated Kavori installed into the device link for one test, and everything process-wide
// put back afterwards.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "device/device_link.hpp"
#include "platform/pause.hpp"
#include "sim/simulated_world.hpp"
#include "support/device_state.hpp"
#include "support/scratch_dir.hpp"

namespace kavori::testing {

// Polls `condition` until it holds; false once `bound` has passed, so that a broken path fails
// the test instead of hanging it.
inline bool Eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds bound = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

class SimFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    // The product's fixed pauses (1500, 2500, 500 ms) shrink a hundredfold in tests.
    platform::SetPauseScaleForTests(0.01);
    ResetDeviceStateForTest();
  }

  void TearDown() override {
    ASSERT_TRUE(RestoreDeviceState());
    world_.reset();
  }

  // Builds the simulated world from option text (the --simulate syntax) and installs it.
  sim::SimulatedWorld& MakeWorld(const std::string& options = "") {
    std::string error;
    const auto parsed = sim::ParseSimOptions(options, error);
    EXPECT_TRUE(parsed.has_value()) << options << ": " << error;
    world_ = std::make_unique<sim::SimulatedWorld>(parsed.value_or(sim::SimOptions{}));
    platform::Platform services = world_->Services();
    services.diagnostics = &diagnostics_;
    EXPECT_TRUE(device::UsePlatform(services));
    return *world_;
  }

  sim::DeviceSnapshot Device(std::size_t index = 0) const {
    auto snapshot = world_->Snapshot(index);
    EXPECT_TRUE(snapshot.has_value()) << "no simulated device " << index;
    return snapshot.value_or(sim::DeviceSnapshot{});
  }

  platform::DiagnosticsLog diagnostics_;
  std::unique_ptr<sim::SimulatedWorld> world_;
};

}  // namespace kavori::testing
