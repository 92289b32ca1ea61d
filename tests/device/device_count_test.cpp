#include "device/device_count.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "device/device_link.hpp"

namespace kavori::device {
namespace {

class FixedInstanceList : public platform::DeviceInstanceList {
 public:
  explicit FixedInstanceList(std::optional<std::vector<std::string>> entries)
      : entries_(std::move(entries)) {}
  std::optional<std::vector<std::string>> Read() override { return entries_; }

 private:
  std::optional<std::vector<std::string>> entries_;
};

struct CountCase {
  const char* name;
  std::optional<std::vector<std::string>> entries;
  int result;
  std::uint32_t count;  // expected; 99 = left untouched
};

TEST(CountConnectedDevicesTest, CountsVendorEntriesOfTheInstanceList) {
  const std::string longEntry = "USB\\VID_0BEF&PID_0005\\" + std::string(240, 'x');
  const CountCase cases[] = {
      {"no entries", std::vector<std::string>{}, 0, 0},
      {"one of ours in upper case beside a foreign one",
       std::vector<std::string>{"USB\\VID_0BEF&PID_0005\\KAV1", "USB\\VID_046D&PID_C31C\\6&1"}, 0,
       1},
      {"two of ours in both modes",
       std::vector<std::string>{"USB\\VID_0BEF&PID_000A\\A", "usb\\vid_0bef&pid_810a\\B"}, 0, 2},
      {"vendor text further on in the path",
       std::vector<std::string>{"HID\\Something\\usb\\VID_0BEF&PID_0099"}, 0, 1},
      {"unreadable list", std::nullopt, -3, 99},
      {"an entry too long for the buffer", std::vector<std::string>{"USB\\VID_0BEF", longEntry}, -3,
       99},
  };
  for (const CountCase& c : cases) {
    SCOPED_TRACE(c.name);
    FixedInstanceList list(c.entries);
    ASSERT_TRUE(UsePlatform({nullptr, nullptr, &list}));
    std::uint32_t count = 99;
    EXPECT_EQ(CountConnectedDevices(&count), c.result);
    EXPECT_EQ(count, c.count);
  }
  ASSERT_TRUE(UsePlatform({}));
}

TEST(CountConnectedDevicesTest, NoCountPointerIsRefused) {
  EXPECT_EQ(CountConnectedDevices(nullptr), -2);
}

TEST(CountConnectedDevicesTest, EntryOfExactly255CharactersStillFits) {
  FixedInstanceList list(std::vector<std::string>{"USB\\VID_0BEF\\" + std::string(242, 'y')});
  ASSERT_TRUE(UsePlatform({nullptr, nullptr, &list}));
  std::uint32_t count = 99;
  EXPECT_EQ(CountConnectedDevices(&count), 0);
  EXPECT_EQ(count, 1u);
  ASSERT_TRUE(UsePlatform({}));
}

}  // namespace
}  // namespace kavori::device
