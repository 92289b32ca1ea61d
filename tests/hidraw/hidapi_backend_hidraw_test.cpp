// HidapiBackend on hidapi's real hidraw backend, against a mocked Kavori node.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/protocol.hpp"
#include "hidraw/hidraw_fixture.hpp"
#include "platform/linux/hidapi_backend.hpp"

namespace kavori::platform::host {
namespace {

using HidapiBackendHidrawTest = testing::HidrawFixture;

testing::MockIdentity LoaderKavori() {
  testing::MockIdentity identity;
  identity.productId = 0x810A;
  identity.release = 0x0203;
  identity.product = "Kavori Loader";
  identity.serial = "KAVSBL98765432109ZYXWV";
  return identity;
}

// The string as a HID string query must deliver it: UTF-16LE code units and a zero unit.
std::vector<std::uint8_t> Utf16Field(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  for (const char c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c));
    bytes.push_back(0x00);
  }
  bytes.push_back(0x00);
  bytes.push_back(0x00);
  return bytes;
}

std::array<std::uint8_t, kReportBufferSize> CommandReport(std::uint8_t command) {
  std::array<std::uint8_t, kReportBufferSize> report{};
  std::copy(device::kReportHeader.begin(), device::kReportHeader.end(), report.begin());
  report[device::kReportCommand] = command;
  for (std::size_t i = device::kReportData; i < device::kReportData + device::kBlockSize; ++i)
    report[i] = static_cast<std::uint8_t>(i);
  return report;
}

TEST_F(HidapiBackendHidrawTest, EnumeratesOpensAndIdentifiesTheNode) {
  testing::MockHidrawDevice& device = Bed().Plug(LoaderKavori());
  HidapiBackend backend;
  const std::vector<std::string> paths = backend.EnumerateInterfaces();
  ASSERT_EQ(paths, std::vector<std::string>{device.Node()});

  const std::unique_ptr<HidHandle> handle = backend.Open(device.Node());
  ASSERT_NE(handle, nullptr);
  HidAttributes attributes;
  ASSERT_TRUE(handle->GetAttributes(attributes));
  EXPECT_EQ(attributes.vendorId, 0x0BEF);
  EXPECT_EQ(attributes.productId, 0x810A);
  EXPECT_EQ(attributes.releaseNumber, 0x0203);

  struct StringCase {
    const char* name;
    bool (HidHandle::*query)(std::uint8_t*, std::size_t);
    std::string expected;
  };
  const StringCase strings[] = {
      {"serial", &HidHandle::GetSerialNumberString, device.Identity().serial},
      {"product", &HidHandle::GetProductString, device.Identity().product},
  };
  for (const StringCase& c : strings) {
    SCOPED_TRACE(c.name);
    std::array<std::uint8_t, kHidStringFieldSize> field;
    field.fill(0xEE);
    ASSERT_TRUE(((*handle).*c.query)(field.data(), kHidStringQueryBytes));
    const std::vector<std::uint8_t> expected = Utf16Field(c.expected);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), field.begin()));
    EXPECT_TRUE(std::all_of(field.begin() + static_cast<std::ptrdiff_t>(expected.size()),
                            field.end(), [](std::uint8_t b) { return b == 0xEE; }))
        << "bytes after the string were overwritten";
  }

  HidReportLengths lengths;
  ASSERT_TRUE(handle->GetReportLengths(lengths));
  EXPECT_EQ(lengths.input, 65);
  EXPECT_EQ(lengths.output, 65);
}

TEST_F(HidapiBackendHidrawTest, WritesReportsAndReadsNormalisedReplies) {
  testing::MockHidrawDevice& device = Bed().Plug(LoaderKavori());
  HidapiBackend backend;
  const std::unique_ptr<HidHandle> handle = backend.Open(device.Node());
  ASSERT_NE(handle, nullptr);

  std::array<std::uint8_t, kReportBufferSize> buffer{};
  EXPECT_EQ(handle->Read(buffer.data(), buffer.size(), 30).status, ReadStatus::Timeout)
      << "a report came that the device never sent";

  const auto report = CommandReport(0x30);
  ASSERT_TRUE(handle->Write(report.data(), report.size()));
  ASSERT_TRUE(device.WaitForReceived(1, testing::kSettle));
  const std::vector<std::uint8_t> received = device.Received().at(0);
  EXPECT_EQ(received, std::vector<std::uint8_t>(report.begin() + 1, report.end()))
      << "the device must see the 64 bytes after the report id";

  buffer.fill(0xEE);
  const ReadResult r = handle->Read(buffer.data(), buffer.size(), 5000);
  ASSERT_EQ(r.status, ReadStatus::Data);
  EXPECT_EQ(r.length, 65u);
  EXPECT_EQ(buffer[0], 0x00) << "the report id of an unnumbered report";
  EXPECT_EQ(buffer[1], 0x55) << "the reply code";
  EXPECT_EQ(buffer[2], 0x30) << "the device echoes the command after the reply code";
  EXPECT_TRUE(std::all_of(buffer.begin() + 3, buffer.end(), [](std::uint8_t b) { return b == 0; }));

  // A report of the device's own, every byte distinct: none may be lost or shifted.
  testing::MockInputReport pattern;
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>(0x80 + i);
  device.SendInputReport(pattern);
  ASSERT_EQ(handle->Read(buffer.data(), buffer.size(), 5000).status, ReadStatus::Data);
  EXPECT_EQ(buffer[0], 0x00);
  EXPECT_TRUE(std::equal(pattern.begin(), pattern.end(), buffer.begin() + 1));

  EXPECT_EQ(handle->Read(buffer.data(), buffer.size(), 30).status, ReadStatus::Timeout);
}

// A short report must not leave an earlier report's bytes behind it: byte 1 of a report that never
// carried a reply would otherwise repeat the last 0x55 and acknowledge a block never taken.
TEST_F(HidapiBackendHidrawTest, AShortReportIsFilledWithZerosToItsFullLength) {
  testing::MockHidrawDevice& device = Bed().Plug(LoaderKavori());
  HidapiBackend backend;
  const std::unique_ptr<HidHandle> handle = backend.Open(device.Node());
  ASSERT_NE(handle, nullptr);

  std::array<std::uint8_t, kReportBufferSize> buffer{};
  device.SendInputBytes(std::vector<std::uint8_t>(64, 0x55));
  ASSERT_EQ(handle->Read(buffer.data(), buffer.size(), 1000).status, ReadStatus::Data);
  device.SendInputBytes({0x07});
  const ReadResult shortOne = handle->Read(buffer.data(), buffer.size(), 1000);
  ASSERT_EQ(shortOne.status, ReadStatus::Data);
  EXPECT_EQ(shortOne.length, kReportBufferSize);
  EXPECT_EQ(buffer[1], 0x07);
  EXPECT_TRUE(std::all_of(buffer.begin() + 2, buffer.end(), [](std::uint8_t b) { return b == 0; }))
      << "bytes of the earlier report survived";
}

TEST_F(HidapiBackendHidrawTest, UnplugMakesReadsGoneAndWritesFail) {
  testing::MockHidrawDevice& device = Bed().Plug(LoaderKavori());
  HidapiBackend backend;
  const std::unique_ptr<HidHandle> handle = backend.Open(device.Node());
  ASSERT_NE(handle, nullptr);

  device.Unplug();
  std::array<std::uint8_t, kReportBufferSize> buffer{};
  EXPECT_EQ(handle->Read(buffer.data(), buffer.size(), 5000).status, ReadStatus::Gone);
  EXPECT_EQ(handle->Read(buffer.data(), buffer.size(), 0).status, ReadStatus::Gone)
      << "a handle once gone stays gone";
  const auto report = CommandReport(0x10);
  EXPECT_FALSE(handle->Write(report.data(), report.size()));
  EXPECT_TRUE(backend.EnumerateInterfaces().empty());
  EXPECT_EQ(backend.Open(device.Node()), nullptr);
}

// hidapi keeps process-wide state without a lock, and a device may come and go while it
// enumerates: neither may crash the backend or hand out a path that is no hidraw node.
TEST_F(HidapiBackendHidrawTest, EnumerationFromTwoThreadsWhileDevicesComeAndGo) {
  HidapiBackend backend;
  std::atomic<bool> done{false};
  std::atomic<int> badPaths{0};
  const auto enumerate = [&] {
    while (!done) {
      for (const std::string& path : backend.EnumerateInterfaces()) {
        if (path.rfind("/dev/hidraw", 0) != 0) ++badPaths;
      }
    }
  };
  std::thread first(enumerate);
  std::thread second(enumerate);
  for (int i = 0; i < 20; ++i) Bed().Plug(LoaderKavori()).Unplug();
  testing::MockHidrawDevice& last = Bed().Plug(LoaderKavori());
  done = true;
  first.join();
  second.join();
  EXPECT_EQ(badPaths, 0);
  EXPECT_EQ(backend.EnumerateInterfaces(), std::vector<std::string>{last.Node()});
}

}  // namespace
}  // namespace kavori::platform::host
