// Fixtures of the hidraw tests: a fresh umockdev testbed for each test, and the device link on the
// host's real services. Every test skips when umockdev's preload library could not be loaded.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "device/device_link.hpp"
#include "hidraw/mock_hidraw.hpp"
#include "platform/linux/hidapi_backend.hpp"
#include "platform/linux/socket_lock.hpp"
#include "platform/linux/udev_instances.hpp"

namespace kavori::testing {

// Bounds for waits that end at once when all is well; only a broken path runs into them.
inline constexpr std::chrono::milliseconds kSettle{5000};

class HidrawFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!UmockdevPreloadActive()) {
      GTEST_SKIP() << "umockdev's preload library is not loaded (is the Debian package umockdev "
                      "installed?)";
    }
    bed_ = std::make_unique<MockHidrawBed>();
  }

  void TearDown() override { bed_.reset(); }

  MockHidrawBed& Bed() { return *bed_; }

 private:
  std::unique_ptr<MockHidrawBed> bed_;
};

// The services HostPlatform bundles, but with an in-use lock of this process's own name, so that
// parallel tests and a running tool never meet.
class HostPlatformFixture : public HidrawFixture {
 protected:
  void SetUp() override {
    HidrawFixture::SetUp();
    if (IsSkipped()) return;
    link_ = std::make_unique<device::DeviceLink>(
        platform::Platform{&hid_, &lock_, &instances_, nullptr, platform::Pauses{}});
    link_->SetReplyTimeoutMs(2000);
  }

  void TearDown() override {
    link_.reset();
    HidrawFixture::TearDown();
  }

  device::DeviceLink& Link() { return *link_; }

  static std::string LockName() { return "kavori-hidraw-test-" + std::to_string(::getpid()); }

  platform::host::HidapiBackend hid_;
  platform::host::AbstractSocketLock lock_{LockName()};
  platform::host::UdevDeviceInstanceList instances_;
  std::unique_ptr<device::DeviceLink> link_;
};

}  // namespace kavori::testing
