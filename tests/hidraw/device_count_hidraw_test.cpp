// The start-up count of connected devices through udev's view of a mocked USB tree.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/device_count.hpp"
#include "device/results.hpp"
#include "hidraw/hidraw_fixture.hpp"

namespace kavori::device {
namespace {

class DeviceCountHidrawTest : public testing::HostPlatformFixture {
 protected:
  std::uint32_t Count() {
    std::uint32_t count = 0xDEAD;
    EXPECT_EQ(CountConnectedDevices(Link().Services(), &count), kOk);
    return count;
  }
};

TEST_F(DeviceCountHidrawTest, CountsTheKavorisAmongTheUsbHidDevices) {
  testing::MockHidrawDevice& first = Bed().Plug({});
  EXPECT_EQ(Count(), 1u);
  EXPECT_EQ(
      instances_.Read(),
      std::optional(std::vector<std::string>{"USB\\VID_0BEF&PID_0005\\KAVSBL01234567890ABCDE"}));

  // A mouse without a serial number: named by its port, not counted.
  testing::MockIdentity mouse;
  mouse.vendorId = 0x046D;
  mouse.productId = 0xC52B;
  mouse.manufacturer = "Other";
  mouse.product = "Receiver";
  mouse.serial = "";
  Bed().Plug(mouse);
  testing::MockIdentity loader;
  loader.productId = 0x8105;
  loader.serial = "KAVSBL11111111111ABCDE";
  Bed().Plug(loader);
  EXPECT_EQ(Count(), 2u);
  EXPECT_EQ(instances_.Read(), std::optional(std::vector<std::string>{
                                   "USB\\VID_0BEF&PID_0005\\KAVSBL01234567890ABCDE",
                                   "USB\\VID_046D&PID_C52B\\1-2",
                                   "USB\\VID_0BEF&PID_8105\\KAVSBL11111111111ABCDE",
                               }));

  first.Unplug();
  EXPECT_EQ(Count(), 1u);
}

}  // namespace
}  // namespace kavori::device
