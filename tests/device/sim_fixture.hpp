// A simulated Kavori and a fresh device link on it for one test; nothing outlives the test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "device/device_link.hpp"
#include "sim/simulated_world.hpp"
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

// The product's fixed pauses (1500, 2500, 500 ms) shrink a hundredfold in tests.
inline constexpr double kTestPauseScale = 0.01;
// Replies are waited for this long in tests, unless a test says otherwise.
inline constexpr std::uint16_t kTestReplyTimeoutMs = 2000;

class SimFixture : public ::testing::Test {
 protected:
  void TearDown() override {
    link_.reset();
    world_.reset();
  }

  // Builds the simulated world from option text (the --simulate syntax) and a link on it.
  sim::SimulatedWorld& MakeWorld(const std::string& options = "",
                                 double pauseScale = kTestPauseScale) {
    std::string error;
    const auto parsed = sim::ParseSimOptions(options, error);
    EXPECT_TRUE(parsed.has_value()) << options << ": " << error;
    link_.reset();
    world_ = std::make_unique<sim::SimulatedWorld>(parsed.value_or(sim::SimOptions{}));
    services_ = world_->Services();
    services_.diagnostics = &diagnostics_;
    services_.pauses = platform::Pauses(pauseScale);
    link_ = std::make_unique<device::DeviceLink>(services_);
    link_->SetReplyTimeoutMs(kTestReplyTimeoutMs);
    return *world_;
  }

  device::DeviceLink& Link() { return *link_; }

  sim::DeviceSnapshot Device(std::size_t index = 0) const {
    auto snapshot = world_->Snapshot(index);
    EXPECT_TRUE(snapshot.has_value()) << "no simulated device " << index;
    return snapshot.value_or(sim::DeviceSnapshot{});
  }

  platform::DiagnosticsLog diagnostics_;
  std::unique_ptr<sim::SimulatedWorld> world_;
  platform::Platform services_;
  std::unique_ptr<device::DeviceLink> link_;
};

}  // namespace kavori::testing
