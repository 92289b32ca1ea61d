#include "device/device_count.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.hpp"

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

// Services with nothing but the instance list and, when given, a diagnostics log.
platform::Platform WithList(platform::DeviceInstanceList* list,
                            platform::DiagnosticsLog* diagnostics = nullptr) {
  platform::Platform services;
  services.instances = list;
  services.diagnostics = diagnostics;
  return services;
}

struct CountCase {
  const char* name;
  std::optional<std::vector<std::string>> entries;
  int result;
  std::uint32_t count;  // expected; 99 = left untouched
  std::vector<std::string> counted;
  // Whether the count leaves a word on why the start-up check will refuse: no device, several,
  // or no list at all.
  bool noted;
};

TEST(CountConnectedDevicesTest, CountsVendorEntriesOfTheInstanceList) {
  const std::string longEntry = "USB\\VID_0BEF&PID_0005\\" + std::string(240, 'x');
  const CountCase cases[] = {
      {"no entries", std::vector<std::string>{}, 0, 0, {}, true},
      {"one of ours in upper case beside a foreign one",
       std::vector<std::string>{"USB\\VID_0BEF&PID_0005\\KAV1", "USB\\VID_046D&PID_C31C\\6&1"},
       0,
       1,
       {"USB\\VID_0BEF&PID_0005\\KAV1"},
       false},
      {"two of ours in both modes",
       std::vector<std::string>{"USB\\VID_0BEF&PID_000A\\A", "usb\\vid_0bef&pid_810a\\B"},
       0,
       2,
       {"USB\\VID_0BEF&PID_000A\\A", "usb\\vid_0bef&pid_810a\\B"},
       true},
      {"vendor text further on in the path",
       std::vector<std::string>{"HID\\Something\\usb\\VID_0BEF&PID_0099"},
       0,
       1,
       {"HID\\Something\\usb\\VID_0BEF&PID_0099"},
       false},
      {"unreadable list", std::nullopt, -3, 99, {}, true},
      {"an entry too long for the buffer",
       std::vector<std::string>{"USB\\VID_0BEF", longEntry},
       -3,
       99,
       {},
       true},
  };
  for (const CountCase& c : cases) {
    SCOPED_TRACE(c.name);
    FixedInstanceList list(c.entries);
    platform::DiagnosticsLog diagnostics;
    std::uint32_t count = 99;
    std::vector<std::string> counted;
    EXPECT_EQ(CountConnectedDevices(WithList(&list, &diagnostics), &count, &counted), c.result);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(counted, c.counted);
    EXPECT_EQ(diagnostics.Take().size(), c.noted ? 1u : 0u);
  }
}

TEST(CountConnectedDevicesTest, NoCountPointerIsRefused) {
  FixedInstanceList list(std::vector<std::string>{"USB\\VID_0BEF&PID_0005\\KAV1"});
  EXPECT_EQ(CountConnectedDevices(WithList(&list), nullptr), -2);
}

TEST(CountConnectedDevicesTest, NoInstanceListCountsAsUnreadable) {
  std::uint32_t count = 99;
  EXPECT_EQ(CountConnectedDevices(platform::Platform{}, &count), -3);
  EXPECT_EQ(count, 99u);
}

TEST(CountConnectedDevicesTest, EntryOfExactly255CharactersStillFits) {
  FixedInstanceList list(std::vector<std::string>{"USB\\VID_0BEF\\" + std::string(242, 'y')});
  std::uint32_t count = 99;
  EXPECT_EQ(CountConnectedDevices(WithList(&list), &count), 0);
  EXPECT_EQ(count, 1u);
}

}  // namespace
}  // namespace kavori::device
