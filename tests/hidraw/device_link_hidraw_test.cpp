// The device link end to end on the host's real services (hidapi, the socket lock, udev) against
// a mocked Kavori: discovery, identity, commands and the replies a run reads, unplug and replug.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdint>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "device/commands.hpp"
#include "device/device_inventory.hpp"
#include "device/device_link.hpp"
#include "device/programming_run.hpp"
#include "device/protocol.hpp"
#include "device/results.hpp"
#include "firmware/image_builder.hpp"
#include "frontend/diagnostics.hpp"
#include "hidraw/hidraw_fixture.hpp"

namespace kavori::device {
namespace {

using DeviceLinkHidrawTest = testing::HostPlatformFixture;
using Report = std::vector<std::uint8_t>;

// While it lives, the calling thread (capabilities are per thread) opens files as a normal user
// does: without overriding their permissions.
class WithoutPermissionOverride {
 public:
  WithoutPermissionOverride() {
    ::syscall(SYS_capget, &header_, saved_);
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    ::syscall(SYS_capset, &header_, reduced);
  }
  ~WithoutPermissionOverride() { ::syscall(SYS_capset, &header_, saved_); }
  WithoutPermissionOverride(const WithoutPermissionOverride&) = delete;
  WithoutPermissionOverride& operator=(const WithoutPermissionOverride&) = delete;

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2] = {};
};

class StatusRecorder final : public RunObserver {
 public:
  void RunStatus(const std::string& text, bool) override { texts.push_back(text); }
  void RunProgress(int, const std::string& text, bool) override { texts.push_back(text); }
  void RunFinished() override {}
  std::vector<std::string> texts;
};

testing::MockIdentity Kavori(std::uint16_t productId, std::uint16_t release) {
  testing::MockIdentity identity;
  identity.productId = productId;
  identity.release = release;
  return identity;
}

// What the device sees of a command report: the 64 bytes after the report id.
Report Seen(const std::array<std::uint8_t, kReportLength>& report) {
  return {report.begin() + 1, report.end()};
}

std::string Text(const std::array<char, 256>& field) { return field.data(); }

// Sets the character type locale for one test: hidapi converts the device's UTF-8 strings with
// mbstowcs, so the locale decides what it hands out.
class CharacterLocale {
 public:
  explicit CharacterLocale(const char* name) : saved_(std::setlocale(LC_CTYPE, nullptr)) {
    set_ = std::setlocale(LC_CTYPE, name) != nullptr;
  }
  ~CharacterLocale() { std::setlocale(LC_CTYPE, saved_.c_str()); }
  CharacterLocale(const CharacterLocale&) = delete;
  CharacterLocale& operator=(const CharacterLocale&) = delete;
  bool Set() const { return set_; }

 private:
  const std::string saved_;
  bool set_ = false;
};

testing::MockIdentity AccentedKavori() {
  testing::MockIdentity identity = Kavori(0x8105, 0x0001);
  identity.product = "Kavori Sabl\xC3\xA9";  // U+00E9 in UTF-8, as sysfs holds it
  return identity;
}

TEST_F(DeviceLinkHidrawTest, LoaderDeviceTakesTheProgrammingCommandsAndDataBlocks) {
  testing::MockHidrawDevice& device = Bed().Plug(Kavori(0x810B, 0x0102));
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  const DeviceInfoRecord info = Link().DeviceInfo();
  EXPECT_EQ(info.ProductId, 0x810B);
  EXPECT_EQ(info.VersionWord, 0x810B0102u);
  EXPECT_TRUE(Link().LoaderMode());
  EXPECT_EQ(Text(info.ProductString), "Kavori Sable");
  EXPECT_EQ(Text(info.SerialString), "KAVSBL01234567890ABCDE");
  EXPECT_EQ(Link().InputReportLength(), 65);
  EXPECT_EQ(Link().OutputReportLength(), 65);
  EXPECT_EQ(device.OpenClients(), 2)
      << "the link keeps a query/write handle and a read handle, nothing else";

  Link().Replies().Create();
  ASSERT_EQ(SendEnterProgramming(Link()), kOk);
  EXPECT_EQ(WaitReply(Link()), ReplyAck);

  // The expected command report, kept the way the link keeps its own: each command overwrites
  // only its fields.
  std::array<std::uint8_t, kReportLength> expected{};
  std::copy(kReportHeader.begin(), kReportHeader.end(), expected.begin());
  expected[kReportCommand] = CmdEnterProgramming;
  expected[kReportCount] = 1;
  std::vector<Report> sent = {Seen(expected)};

  // Three blocks: 56, 56 and 38 bytes; the last one keeps 18 bytes of the block before it.
  const firmware::ImageBuilder image = firmware::ImageBuilder().Magic().Size(150);
  const std::vector<std::uint8_t> bytes = image.Build();
  ProgrammingRun run(Link());
  StatusRecorder status;
  ASSERT_EQ(run.DownloadImage(status, bytes), kOk);
  for (std::size_t offset = 0; offset < bytes.size(); offset += kBlockSize) {
    const std::size_t n = std::min(kBlockSize, bytes.size() - offset);
    expected[kReportCommand] = CmdDataBlock;
    FrameDataBlock(expected, offset, std::span(bytes).subspan(offset, n));
    sent.push_back(Seen(expected));
  }

  EXPECT_EQ(SendBurnFlash(Link()), kOk);
  EXPECT_EQ(SendVerify(Link()), kOk);
  for (const std::uint8_t command : {CmdBurnFlash, CmdVerify}) {
    expected[kReportCommand] = command;
    expected[kReportCount] = 0;
    expected[kReportAddressLow] = 0;
    expected[kReportAddressHigh] = 0;
    expected[kReportData] = 0x00;
    sent.push_back(Seen(expected));
  }
  Link().Replies().Close();

  ASSERT_TRUE(device.WaitForReceived(sent.size(), testing::kSettle));
  const std::vector<Report> received = device.Received();
  ASSERT_EQ(received.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(received[i], sent[i])
        << "report " << i << " (command 0x" << std::hex << int{sent[i][2]} << ")";
  }

  EXPECT_EQ(Link().CloseDeviceLink(), kOk);
  EXPECT_EQ(device.OpenClients(), 0) << "handles survived CloseDeviceLink";
  platform::host::AbstractSocketLock again(LockName());
  EXPECT_EQ(again.Acquire(), platform::LockResult::Acquired) << "the link kept the in-use lock";
}

TEST_F(DeviceLinkHidrawTest, CloseReturnsWhileARunWaitsOnASilentDevice) {
  testing::MockHidrawDevice& device = Bed().Plug(Kavori(0x0005, 0x0110));
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  EXPECT_FALSE(Link().LoaderMode());
  EXPECT_EQ(Link().DeviceInfo().VersionWord, 0x00050110u);

  // A device in normal mode takes the prepare report and answers nothing.
  ASSERT_EQ(SendPrepare(Link()), kOk);
  ASSERT_TRUE(device.WaitForReceived(1, testing::kSettle));
  std::array<std::uint8_t, kReportLength> prepare{};
  std::copy(kReportHeader.begin(), kReportHeader.end(), prepare.begin());
  prepare[kReportCommand] = CmdPrepare;
  EXPECT_EQ(device.Received().at(0), Seen(prepare));

  Link().Replies().Create();
  Link().SetReplyTimeoutMs(30000);
  std::atomic<unsigned> reply{0};
  // Nor does it answer programming commands.
  std::thread run([this, &reply] {
    SendEnterProgramming(Link());
    reply = WaitReply(Link());
  });
  // EXPECT, not ASSERT: the run thread must still be ended and joined.
  EXPECT_TRUE(device.WaitForReceived(2, testing::kSettle));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Link().CloseDeviceLink(), kOk);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(Link().IsDeviceLinkOpen());
  EXPECT_EQ(device.OpenClients(), 0) << "handles survived CloseDeviceLink";
  Link().Replies().Close();  // ends the wait, as the run's end does
  run.join();
  EXPECT_EQ(reply.load(), ReplyNone);
  EXPECT_LT(took, std::chrono::seconds(5)) << "the close waited for the run's reply time-out";
}

TEST_F(DeviceLinkHidrawTest, UnplugTimesTheCommandOutAndTheLoaderDeviceIsFoundAfterReplug) {
  testing::MockHidrawDevice& normal = Bed().Plug(Kavori(0x0005, 0x0110));
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  Link().SetReplyTimeoutMs(200);
  Link().Replies().Create();

  normal.Unplug();
  EXPECT_EQ(SendPrepare(Link()), kNotWritten) << "a write to an unplugged device must fail";
  ASSERT_EQ(SendEnterProgramming(Link()), kOk);
  EXPECT_EQ(WaitReply(Link()), ReplyNone);
  EXPECT_EQ(Link().CloseDeviceLink(), kOk);
  EXPECT_FALSE(Link().IsDeviceLinkOpen());

  testing::MockHidrawDevice& loader = Bed().Plug(Kavori(0x8105, 0x0001));
  // The closed link freed the node's number, so the new device takes the same node name with
  // another device number: nothing of the old device may be mistaken for it.
  ASSERT_EQ(loader.Node(), normal.Node());
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  EXPECT_TRUE(Link().LoaderMode());
  EXPECT_EQ(Link().DeviceInfo().ProductId, 0x8105);
  EXPECT_EQ(Link().DeviceInfo().VersionWord, 0x81050001u);
  Link().SetReplyTimeoutMs(2000);
  ASSERT_EQ(SendEnterProgramming(Link()), kOk);
  EXPECT_EQ(WaitReply(Link()), ReplyAck) << "the reopened link must reach the replugged device";
  EXPECT_EQ(loader.Received().size(), 1u);
  Link().Replies().Close();
  EXPECT_EQ(Link().CloseDeviceLink(), kOk);
}

// A user without access to the node reads "not found" on the page, and on stderr why, with the
// way out.
TEST_F(DeviceLinkHidrawTest, AKavoriThisUserMayNotOpenIsDiagnosedWithItsCause) {
  testing::MockHidrawDevice& device = Bed().Plug(Kavori(0x0005, 0x0110));
  device.DenyAccess();
  platform::DiagnosticsLog diagnostics;
  platform::host::HidapiBackend hid(&diagnostics);
  DeviceLink link(platform::Platform{&hid, &lock_, &instances_, &diagnostics, platform::Pauses{}});
  std::vector<platform::Diagnostic> causes;
  std::vector<NodeReport> nodes;
  {
    const WithoutPermissionOverride normalUser;
    EXPECT_EQ(link.OpenDeviceLink(), kNoDevice);
    causes = link.TakeDiagnostics();
    // The report of --diagnose lists the node all the same, with the same cause.
    nodes = InventoryKavoriNodes(link);
  }
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_FALSE(nodes[0].opened);
  ASSERT_EQ(nodes[0].causes.size(), 1u);
  EXPECT_TRUE(nodes[0].causes[0].permissionDenied);
  ASSERT_EQ(causes.size(), 1u);
  EXPECT_EQ(causes[0].text,
            "open " + device.Node() + " (vendor 0x0BEF product 0x0005): Permission denied");
  EXPECT_TRUE(causes[0].permissionDenied);
  const std::vector<std::string> lines = frontend::DiagnosticLines(causes);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find(frontend::UdevRulePath()), std::string::npos) << lines[1];
}

TEST_F(DeviceLinkHidrawTest, AccentedProductStringNarrowsToItsLatin1Byte) {
  const CharacterLocale utf8("C.UTF-8");
  ASSERT_TRUE(utf8.Set()) << "no C.UTF-8 locale here";
  Bed().Plug(AccentedKavori());
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  EXPECT_EQ(Text(Link().DeviceInfo().ProductString), "Kavori Sabl\xE9");
}

// A process that never sets its locale runs in "C", and Qt keeps LC_CTYPE as the environment
// gives it: with LANG unset or C this is the tool's own situation.
TEST_F(DeviceLinkHidrawTest, AccentedProductStringSurvivesTheCLocale) {
  const CharacterLocale plain("C");
  ASSERT_TRUE(plain.Set());
  Bed().Plug(AccentedKavori());
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  EXPECT_EQ(Text(Link().DeviceInfo().ProductString), "Kavori Sabl\xE9")
      << "the device's name was lost: the query reported success with an empty string";
}

}  // namespace
}  // namespace kavori::device
