#include "device/device_link.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "device/commands.hpp"
#include "device/results.hpp"
#include "device/sim_fixture.hpp"

namespace kavori::device {
namespace {

using DeviceLinkTest = testing::SimFixture;

std::string Text(const std::array<char, 256>& field) { return field.data(); }

TEST_F(DeviceLinkTest, OpensTheKavoriBehindAForeignDeviceAndFillsDeviceInfo) {
  MakeWorld("pid=0x000A,release=0x0203,product=Kavori Sable,serial=KAVSBL01234567890ABCDE");
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  EXPECT_TRUE(Link().IsDeviceLinkOpen());
  EXPECT_TRUE(world_->LockHeld());
  const DeviceInfoRecord info = Link().DeviceInfo();
  EXPECT_EQ(info.ProductId, 0x000A);
  EXPECT_EQ(info.VersionWord, 0x000A0203u);
  EXPECT_FALSE(Link().LoaderMode());
  EXPECT_EQ(Text(info.ProductString), "Kavori Sable");
  EXPECT_EQ(Text(info.SerialString), "KAVSBL01234567890ABCDE");
  EXPECT_EQ(Link().InputReportLength(), 65);
  EXPECT_EQ(Link().OutputReportLength(), 65);

  EXPECT_EQ(Link().CloseDeviceLink(), kOk);
  EXPECT_FALSE(Link().IsDeviceLinkOpen());
  EXPECT_FALSE(world_->LockHeld());
  EXPECT_EQ(Device().openHandles, 0u) << "a handle survived CloseDeviceLink";
  // DeviceInfo outlives the link: the wizard reads it after closing.
  EXPECT_EQ(Link().DeviceInfo().ProductId, 0x000A);
}

TEST_F(DeviceLinkTest, LoaderModeIdSetsLoaderModeAndTheVersionWord) {
  MakeWorld("pid=0x810B,release=0x0102");
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  EXPECT_TRUE(Link().LoaderMode());
  EXPECT_EQ(Link().DeviceInfo().VersionWord, 0x810B0102u);
}

// Every failed open must leave nothing held: no lock, no handle.
TEST_F(DeviceLinkTest, FailuresHoldNothing) {
  struct Case {
    const char* options;
    int expected;
  } cases[] = {
      {"devices=0", kNoDevice},
      {"pid=0x0006", kNoDevice},
      {"pid=0x8106", kNoDevice},
      {"lock=held", kDeviceInUse},
      {"held-by=4242:softphone", kDeviceInUse},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    MakeWorld(c.options);
    EXPECT_EQ(Link().OpenDeviceLink(), c.expected);
    EXPECT_FALSE(Link().IsDeviceLinkOpen());
    EXPECT_FALSE(world_->LockHeld());
    if (world_->DeviceCount() > 0) {
      EXPECT_EQ(Device().openHandles, 0u);
    }
  }
}

TEST_F(DeviceLinkTest, LockHeldByAnotherApplicationOpensNoDevice) {
  MakeWorld("lock=held");
  EXPECT_EQ(Link().OpenDeviceLink(), kDeviceInUse);
  EXPECT_EQ(Device().opens, 0u);
}

// Other applications take no in-use lock on Linux. One that holds the Kavori's node
// open makes the device in use like the held lock, named in the diagnostics, and nothing is read
// from or written to the device.
TEST_F(DeviceLinkTest, NodeHeldOpenByAnotherApplicationIsInUse) {
  MakeWorld("held-by=4242:softphone");
  platform::DiagnosticsLog log;
  platform::Platform services = world_->Services();
  services.diagnostics = &log;
  DeviceLink link(services);
  EXPECT_EQ(link.OpenDeviceLink(), kDeviceInUse);
  EXPECT_FALSE(link.IsDeviceLinkOpen());
  EXPECT_FALSE(world_->LockHeld()) << "the lock stayed taken";
  EXPECT_EQ(Device().openHandles, 0u);
  EXPECT_TRUE(Device().reports.empty());
  std::vector<platform::Diagnostic> causes = log.Take();
  // The foreign interface that comes first is passed over as ever.
  std::erase_if(causes, [](const platform::Diagnostic& d) { return !d.heldOpenByOther; });
  ASSERT_EQ(causes.size(), 1u);
  EXPECT_EQ(causes[0].text, Device().path +
                                ": vendor 0x0BEF product 0x0005 is held open by another "
                                "application, process 4242 (softphone)");
  EXPECT_TRUE(causes[0].heldOpenByOther);
  EXPECT_FALSE(causes[0].permissionDenied);
}

TEST_F(DeviceLinkTest, SecondOpenIsRefusedAndLeavesTheFirstLinkWorking) {
  MakeWorld("pid=0x8105");
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  const unsigned opens = Device().opens;
  EXPECT_EQ(Link().OpenDeviceLink(), kDeviceInUse);
  EXPECT_TRUE(Link().IsDeviceLinkOpen());
  EXPECT_EQ(Device().opens, opens) << "the refused open touched the device";

  Link().Replies().Create();
  SendEnterProgramming(Link());
  EXPECT_EQ(WaitReply(Link()), ReplyAck) << "the first link no longer answers";
  Link().Replies().Close();
}

// A refused device tells its ids and that it is not in its loader, but its strings are not read:
// the identity the firmware check trusts stays that of the device last accepted.
TEST_F(DeviceLinkTest, NormalModeDeviceIsRefusedWhileWatchingReconnect) {
  MakeWorld("devices=2,release=0x0304,replug=0");
  ASSERT_NE(Device(0).serial, Device(1).serial);
  // The second device, in its loader, is the one last accepted.
  world_->Unplug(0);
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  ASSERT_EQ(SendPrepare(Link()), kOk);
  Link().CloseDeviceLink();
  ASSERT_TRUE(testing::Eventually([this] { return Device(1).present && Device(1).loaderMode; }));
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  ASSERT_TRUE(Link().LoaderMode());
  Link().CloseDeviceLink();
  world_->Plug(0);

  EXPECT_EQ(Link().OpenDeviceLink(/*watchingReconnect=*/true), kDeviceRefused);
  EXPECT_FALSE(Link().IsDeviceLinkOpen());
  EXPECT_FALSE(world_->LockHeld());
  EXPECT_EQ(Device(0).openHandles, 0u);
  const DeviceInfoRecord info = Link().DeviceInfo();
  EXPECT_EQ(info.ProductId, 0x0005);
  EXPECT_EQ(info.VersionWord, 0x00050304u);
  EXPECT_FALSE(Link().LoaderMode());
  EXPECT_EQ(Text(info.SerialString), Device(1).serial);
}

TEST_F(DeviceLinkTest, FirstAcceptableDeviceWinsAndTheSecondIsNeverOpened) {
  MakeWorld("devices=2");
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  EXPECT_EQ(Text(Link().DeviceInfo().SerialString), Device(0).serial);
  EXPECT_GT(Device(0).opens, 0u);
  EXPECT_EQ(Device(1).opens, 0u);
}

TEST_F(DeviceLinkTest, CloseIsHarmlessWhenNothingIsOpenAndWhenRepeated) {
  MakeWorld();
  EXPECT_EQ(Link().CloseDeviceLink(), kOk);
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  EXPECT_EQ(Link().CloseDeviceLink(), kOk);
  EXPECT_EQ(Link().CloseDeviceLink(), kOk);
  EXPECT_EQ(Link().OpenDeviceLink(), kOk) << "the lock was not released by close";
}

// Each session has a link of its own: two links on one machine meet only at the in-use lock.
TEST_F(DeviceLinkTest, ASecondLinkIsRefusedByTheLockAndTakesOverOnceItIsFree) {
  MakeWorld("pid=0x8105");
  DeviceLink other(services_);
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  EXPECT_EQ(other.OpenDeviceLink(), kDeviceInUse);
  Link().CloseDeviceLink();
  ASSERT_EQ(other.OpenDeviceLink(), kOk);
  other.Replies().Create();
  SendEnterProgramming(other);
  EXPECT_EQ(WaitReply(other), ReplyAck);
  other.Replies().Close();
}

// During a run its own thread reads the replies; closing the link from another thread must not
// wait for that read to run out of time, whether the device stays silent or vanishes under it.
TEST_F(DeviceLinkTest, CloseReturnsWhileARunWaitsForAReply) {
  for (const bool vanishes : {false, true}) {
    SCOPED_TRACE(vanishes ? "vanished device" : "silent device");
    MakeWorld("pid=0x8105,silent=enter");
    ASSERT_EQ(Link().OpenDeviceLink(), kOk);
    Link().Replies().Create();
    Link().SetReplyTimeoutMs(30000);
    std::atomic<unsigned> reply{0};
    std::thread run([this, &reply] {
      SendEnterProgramming(Link());
      reply = WaitReply(Link());
    });
    // EXPECT, not ASSERT: the run thread must still be ended and joined.
    EXPECT_TRUE(testing::Eventually([this] { return Device().reports.size() == 1; }));
    if (vanishes) world_->Unplug(0);
    const auto start = std::chrono::steady_clock::now();
    Link().CloseDeviceLink();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(Link().IsDeviceLinkOpen());
    EXPECT_EQ(Device().openHandles, 0u);
    Link().Replies().Close();  // ends the wait, as the run's end does
    run.join();
    EXPECT_EQ(reply.load(), ReplyNone);
    EXPECT_LT(took, std::chrono::seconds(5)) << "the close waited for the run's reply time-out";
  }
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
