#include "device/device_link.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "device/commands.hpp"
#include "device/flags.hpp"
#include "device/results.hpp"
#include "device/sim_fixture.hpp"

namespace kavori::device {
namespace {

using DeviceLinkTest = testing::SimFixture;

std::string Text(const std::array<char, 256>& field) { return field.data(); }

TEST_F(DeviceLinkTest, OpensTheKavoriBehindAForeignDeviceAndFillsDeviceInfo) {
  MakeWorld("pid=0x000A,release=0x0203,product=Kavori Sable,serial=KAVSBL01234567890ABCDE");
  ASSERT_EQ(OpenDeviceLink(), kOk);
  EXPECT_TRUE(IsDeviceLinkOpen());
  EXPECT_TRUE(world_->LockHeld());
  EXPECT_EQ(DeviceInfo.ProductId, 0x000A);
  EXPECT_EQ(DeviceInfo.VersionWord, 0x000A0203u);
  EXPECT_FALSE(LoaderMode);
  EXPECT_EQ(Text(DeviceInfo.ProductString), "Kavori Sable");
  EXPECT_EQ(Text(DeviceInfo.SerialString), "KAVSBL01234567890ABCDE");
  EXPECT_EQ(InputReportLength(), 65);
  EXPECT_EQ(OutputReportLength(), 65);

  EXPECT_EQ(CloseDeviceLink(), kOk);
  EXPECT_FALSE(IsDeviceLinkOpen());
  EXPECT_FALSE(world_->LockHeld());
  EXPECT_EQ(Device().openHandles, 0u) << "a handle survived CloseDeviceLink";
  // DeviceInfo outlives the link: the wizard reads it after closing.
  EXPECT_EQ(DeviceInfo.ProductId, 0x000A);
}

TEST_F(DeviceLinkTest, LoaderModeIdSetsLoaderModeAndTheVersionWord) {
  MakeWorld("pid=0x810B,release=0x0102");
  ASSERT_EQ(OpenDeviceLink(), kOk);
  EXPECT_TRUE(LoaderMode);
  EXPECT_EQ(DeviceInfo.VersionWord, 0x810B0102u);
}

// Every failed open must leave nothing held: no lock, no handle, no reader.
TEST_F(DeviceLinkTest, FailuresHoldNothing) {
  struct Case {
    const char* options;
    int expected;
  } cases[] = {
      {"devices=0", kNoDevice},
      {"pid=0x0006", kNoDevice},
      {"pid=0x8106", kNoDevice},
      {"lock=held", kDeviceInUse},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    MakeWorld(c.options);
    EXPECT_EQ(OpenDeviceLink(), c.expected);
    EXPECT_FALSE(IsDeviceLinkOpen());
    EXPECT_FALSE(world_->LockHeld());
    if (world_->DeviceCount() > 0) {
      EXPECT_EQ(Device().openHandles, 0u);
    }
    ASSERT_TRUE(UsePlatform({}));
  }
}

TEST_F(DeviceLinkTest, LockHeldByAnotherApplicationOpensNoDevice) {
  MakeWorld("lock=held");
  EXPECT_EQ(OpenDeviceLink(), kDeviceInUse);
  EXPECT_EQ(Device().opens, 0u);
}

TEST_F(DeviceLinkTest, SecondOpenIsRefusedAndLeavesTheFirstLinkWorking) {
  MakeWorld("pid=0x8105");
  ASSERT_EQ(OpenDeviceLink(), kOk);
  const unsigned opens = Device().opens;
  EXPECT_EQ(OpenDeviceLink(), kDeviceInUse);
  EXPECT_TRUE(IsDeviceLinkOpen());
  EXPECT_EQ(Device().opens, opens) << "the refused open touched the device";

  ReplyEvent.Create();
  SendEnterProgramming();
  EXPECT_EQ(WaitReply(), ReplyAck) << "the first link no longer answers";
  ReplyEvent.Close();
}

TEST_F(DeviceLinkTest, NormalModeDeviceIsRefusedWhileWatchingReconnect) {
  MakeWorld("pid=0x000A,release=0x0304");
  std::strcpy(DeviceInfo.ProductString.data(), "earlier product");
  std::strcpy(DeviceInfo.SerialString.data(), "earlier serial");
  LoaderMode = true;
  WatchingReconnect = true;

  EXPECT_EQ(OpenDeviceLink(), kDeviceRefused);
  EXPECT_FALSE(IsDeviceLinkOpen());
  EXPECT_FALSE(world_->LockHeld());
  EXPECT_EQ(DeviceInfo.ProductId, 0x000A);
  EXPECT_EQ(DeviceInfo.VersionWord, 0x000A0304u);
  EXPECT_FALSE(LoaderMode);
  EXPECT_EQ(Text(DeviceInfo.ProductString), "earlier product");
  EXPECT_EQ(Text(DeviceInfo.SerialString), "earlier serial");
}

TEST_F(DeviceLinkTest, FirstAcceptableDeviceWinsAndTheSecondIsNeverOpened) {
  MakeWorld("devices=2");
  ASSERT_EQ(OpenDeviceLink(), kOk);
  EXPECT_EQ(Text(DeviceInfo.SerialString), Device(0).serial);
  EXPECT_GT(Device(0).opens, 0u);
  EXPECT_EQ(Device(1).opens, 0u);
}

TEST_F(DeviceLinkTest, PlatformCannotBeSwappedUnderAnOpenLink) {
  MakeWorld();
  ASSERT_EQ(OpenDeviceLink(), kOk);
  EXPECT_FALSE(UsePlatform({}));
  CloseDeviceLink();
  EXPECT_TRUE(UsePlatform(world_->Services()));
}

TEST_F(DeviceLinkTest, CloseIsHarmlessWhenNothingIsOpenAndWhenRepeated) {
  MakeWorld();
  EXPECT_EQ(CloseDeviceLink(), kOk);
  ASSERT_EQ(OpenDeviceLink(), kOk);
  EXPECT_EQ(CloseDeviceLink(), kOk);
  EXPECT_EQ(CloseDeviceLink(), kOk);
  EXPECT_EQ(OpenDeviceLink(), kOk) << "the lock was not released by close";
}

// The reader is stopped by request, also while its read waits on a device that never answers
// and after the device vanished under it; a hang here fails the test by its time-out.
TEST_F(DeviceLinkTest, CloseStopsTheReaderOnSilentAndVanishedDevices) {
  MakeWorld("pid=0x8105,silent=enter");
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(OpenDeviceLink(), kOk);
    SendEnterProgramming();
    if (round % 2 == 1) world_->Unplug(0);
    CloseDeviceLink();
    if (round % 2 == 1) world_->Plug(0);
  }
  EXPECT_FALSE(IsDeviceLinkOpen());
}

// During a run its own thread reads the replies; closing the link from another thread must not
// wait for that read to run out of time.
TEST_F(DeviceLinkTest, CloseReturnsWhileARunWaitsOnASilentDevice) {
  MakeWorld("pid=0x8105,silent=enter");
  ASSERT_EQ(OpenDeviceLink(), kOk);
  ReplyEvent.Create();
  ReplyTimeoutMs = 30000;
  std::atomic<unsigned> reply{0};
  std::thread run([&reply] {
    SendEnterProgramming();
    reply = WaitReply();
  });
  // EXPECT, not ASSERT: the run thread must still be ended and joined.
  EXPECT_TRUE(testing::Eventually([this] { return Device().reports.size() == 1; }));
  const auto start = std::chrono::steady_clock::now();
  CloseDeviceLink();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(IsDeviceLinkOpen());
  ReplyEvent.Close();  // ends the wait, as the run's end does
  run.join();
  EXPECT_EQ(reply.load(), ReplyNone);
  EXPECT_LT(took, std::chrono::seconds(5)) << "the close waited for the run's reply time-out";
}

struct NarrowCase {
  const char* name;
  std::vector<std::uint16_t> units;  // written as UTF-16LE, with a terminating zero unit
  std::string expected;
};

TEST(NarrowHidStringTest, KeepsLowBytesAndStopsAtAZeroLowByte) {
  const NarrowCase cases[] = {
      {"ascii", {'A', 'B', '1', '2'}, "AB12"},
      {"latin-1 e-acute", {'c', 0x00E9, 'z'}, "c\xE9z"},
      {"U+0100 ends the string", {'a', 0x0100, 'b'}, "a"},
      {"empty", {}, ""},
  };
  for (const NarrowCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::array<char, 256> field;
    field.fill('\x7F');
    std::size_t at = 0;
    for (std::uint16_t unit : c.units) {
      field[at++] = static_cast<char>(unit & 0xFF);
      field[at++] = static_cast<char>(unit >> 8);
    }
    field[at] = field[at + 1] = 0;
    NarrowHidString(field);
    EXPECT_EQ(std::string(field.data()), c.expected);
  }
}

TEST(NarrowHidStringTest, ReadsAtMostTheQueryBytesAndEndsWithinTheField) {
  std::array<char, 256> field;
  field.fill('x');  // no terminator anywhere: the 255-byte bound must stop it
  NarrowHidString(field);
  EXPECT_EQ(std::strlen(field.data()), 128u);
}

}  // namespace
}  // namespace kavori::device
