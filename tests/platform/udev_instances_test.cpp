#include "platform/linux/udev_instances.hpp"

#include <gtest/gtest.h>

#include <string>

namespace kavori::platform::host {
namespace {

struct InstanceCase {
  std::string name;
  std::string idVendor;
  std::string idProduct;
  std::string serial;
  std::string sysname;
  std::optional<std::string> expected;
};

class BuildInstancePathTest : public ::testing::TestWithParam<InstanceCase> {};

TEST_P(BuildInstancePathTest, FormatsUpperCaseIdsAndTheInstance) {
  const InstanceCase& c = GetParam();
  EXPECT_EQ(BuildInstancePath(c.idVendor, c.idProduct, c.serial, c.sysname), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    SysfsValues, BuildInstancePathTest,
    ::testing::Values(
        // sysfs attribute files end in a newline and spell hex in lower case.
        InstanceCase{"RawSysfsWithSerial", "0bef\n", "810a\n", "K123456\n", "1-2",
                     "USB\\VID_0BEF&PID_810A\\K123456"},
        InstanceCase{"NoSerialUsesThePortName", "0bef", "0005", "", "1-2.4",
                     "USB\\VID_0BEF&PID_0005\\1-2.4"},
        InstanceCase{"BlankSerialUsesThePortName", "0BEF", "000b", " \n", "3-1",
                     "USB\\VID_0BEF&PID_000B\\3-1"},
        InstanceCase{"ShortHexIsPadded", "bef", "5", "s", "1-1", "USB\\VID_0BEF&PID_0005\\s"},
        InstanceCase{"OtherVendor", "046d", "c52b", "", "1-3", "USB\\VID_046D&PID_C52B\\1-3"},
        InstanceCase{"VendorMissing", "", "0005", "s", "1-1", std::nullopt},
        InstanceCase{"VendorNotHex", "0beg", "0005", "s", "1-1", std::nullopt},
        InstanceCase{"ProductWiderThan16Bits", "0bef", "10005", "s", "1-1", std::nullopt}),
    [](const ::testing::TestParamInfo<InstanceCase>& info) { return info.param.name; });

// The list read through udev from a mocked sysfs tree: DeviceCountHidrawTest in tests/hidraw.

}  // namespace
}  // namespace kavori::platform::host
