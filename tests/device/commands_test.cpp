#include "device/commands.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "device/device_link.hpp"
#include "device/results.hpp"
#include "device/sim_fixture.hpp"
#include "firmware/product_ids.hpp"

namespace kavori::device {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Report(std::initializer_list<std::uint8_t> head) {
  Bytes report(head);
  report.resize(65, 0x00);
  return report;
}

class CommandsTest : public testing::SimFixture {
 protected:
  // The reports the device received, in order.
  std::vector<Bytes> Received() const {
    std::vector<Bytes> out;
    for (const auto& r : Device().reports) out.push_back(r.bytes);
    return out;
  }
};

TEST_F(CommandsTest, EnterProgrammingOnAFreshLinkIsByteExact) {
  MakeWorld("pid=0x8105");
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  EXPECT_EQ(SendEnterProgramming(Link()), kOk);
  ASSERT_EQ(Received().size(), 1u);
  EXPECT_EQ(Received()[0], Report({0x00, 0x10, 0x20, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00}));
}

TEST_F(CommandsTest, PrepareUsesItsOwnBufferAndLeavesTheCommandReportAlone) {
  MakeWorld();
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  Link().CommandReport()[kReportData + 5] = 0x77;
  EXPECT_EQ(SendPrepare(Link()), kOk);
  ASSERT_EQ(Received().size(), 1u);
  EXPECT_EQ(Received()[0], Report({0x00, 0x10, 0x20, 0x62}));
  EXPECT_EQ(Link().CommandReport()[kReportData + 5], 0x77);
}

TEST_F(CommandsTest, PrepareOnAVanishedDeviceReportsTheFailedWrite) {
  MakeWorld();
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  world_->Unplug(0);
  EXPECT_EQ(SendPrepare(Link()), kNotWritten);
}

// Commands write only their own fields: the data bytes of the last block reach later reports.
TEST_F(CommandsTest, BurnAfterABlockCarriesTheBlocksLeftoverDataBytes) {
  MakeWorld("pid=0x8105");
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  Link().Replies().Create();
  SendEnterProgramming(Link());
  ASSERT_EQ(WaitReply(Link()), ReplyAck);

  auto& report = Link().CommandReport();
  report[kReportCommand] = CmdDataBlock;
  report[kReportCount] = kBlockSize;
  for (std::size_t k = 0; k < kBlockSize; ++k) report[kReportData + k] = 0xA0 + k % 16;
  WriteCommandReport(Link());
  ASSERT_EQ(WaitReply(Link()), ReplyAck);

  EXPECT_EQ(SendBurnFlash(Link()), kOk);
  const Bytes burn = Received().back();
  Bytes expected = Report({0x00, 0x10, 0x20, 0x30, 0x00, 0x00, 0x00, 0x00, 0x00});
  for (std::size_t k = 1; k < kBlockSize; ++k) expected[kReportData + k] = 0xA0 + k % 16;
  EXPECT_EQ(burn, expected);

  EXPECT_EQ(SendVerify(Link()), kOk);
  EXPECT_EQ(Received().back()[kReportCommand], CmdVerify);
  EXPECT_EQ(SendRestart(Link()), kOk);
  Bytes restart = expected;
  restart[kReportCommand] = CmdRestart;
  restart[kReportCount] = 1;
  EXPECT_EQ(Received().back(), restart);
}

TEST_F(CommandsTest, ReopeningTheLinkResetsTheCommandReport) {
  MakeWorld("pid=0x8105");
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  Link().CommandReport().fill(0xEE);
  Link().CloseDeviceLink();
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  EXPECT_EQ(SendEnterProgramming(Link()), kOk);
  EXPECT_EQ(Received().back(), Report({0x00, 0x10, 0x20, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00}));
}

TEST_F(CommandsTest, AwaitedCommandsFailOnANegativeReply) {
  MakeWorld("pid=0x8105,nak=burn,nak=verify");
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  Link().Replies().Create();
  EXPECT_EQ(SendBurnFlash(Link()), kNotAcknowledged);
  EXPECT_EQ(SendVerify(Link()), kNotAcknowledged);
}

// Outside a run nobody may take a reply: before the event exists and after it was closed, a wait
// fails at once instead of waiting out the time-out.
TEST_F(CommandsTest, WaitReplyWithoutAnEventFailsAtOnce) {
  MakeWorld("pid=0x8105");
  Link().SetReplyTimeoutMs(30000);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitReply(Link()), ReplyNone) << "closed link";
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  SendEnterProgramming(Link());
  EXPECT_EQ(WaitReply(Link()), ReplyNone) << "open link, reply queued, no event yet";
  Link().Replies().Create();
  Link().Replies().Close();
  SendEnterProgramming(Link());
  EXPECT_EQ(WaitReply(Link()), ReplyNone) << "event closed";
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5))
      << "a wait without the event waited for the time-out";
}

TEST_F(CommandsTest, WaitReplyTimesOutOnASilentDevice) {
  MakeWorld("pid=0x8105,silent=enter");
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  Link().Replies().Create();
  Link().SetReplyTimeoutMs(30);
  SendEnterProgramming(Link());
  EXPECT_EQ(WaitReply(Link()), ReplyNone);
}

// Replies are not matched to commands: the latest one since the previous take is returned,
// and a reply that came before anyone waited is returned at once.
TEST_F(CommandsTest, WaitReplyReturnsTheLatestReplyAndClearsIt) {
  MakeWorld("pid=0x8105,nak=verify");
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  Link().Replies().Create();
  SendEnterProgramming(Link());  // answered 0x55 at once, before the wait
  EXPECT_EQ(WaitReply(Link()), ReplyAck);
  EXPECT_EQ(Link().Replies().ReplyCode(), 0);

  Link().SetReplyTimeoutMs(30);
  EXPECT_EQ(WaitReply(Link()), ReplyNone) << "the reply was taken twice";

  Link().CommandReport()[kReportCommand] = CmdVerify;  // answered with a failure code
  WriteCommandReport(Link());
  SendEnterProgramming(Link());  // answered 0x55 after it
  EXPECT_EQ(WaitReply(Link()), ReplyAck) << "not the latest of two replies";
  EXPECT_EQ(WaitReply(Link()), ReplyNone) << "the older reply was left for the next wait";
}

// A run's first wait must not take an answer to something sent before the run.
TEST_F(CommandsTest, RepliesBeforeTheEventOnlyUpdateTheCode) {
  MakeWorld("pid=0x8105");
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  SendEnterProgramming(Link());
  Link().Replies().Create();
  EXPECT_EQ(Link().Replies().ReplyCode(), ReplyAck) << "the earlier reply was not stored";
  Link().SetReplyTimeoutMs(30);
  EXPECT_EQ(WaitReply(Link()), ReplyNone) << "a reply before the event existed signalled it";

  SendEnterProgramming(Link());
  EXPECT_EQ(WaitReply(Link()), ReplyAck);
  EXPECT_EQ(Link().Replies().ReplyCode(), 0) << "the code stored before the run outlived a take";
}

// A Kavori in its loader whose input reports the test queues. Each read notes its bound and the
// ReplyCode it finds; a read that finds nothing returns at once, as if its bound had passed, so
// that the bounds tell how long a wait would have lasted without the test waiting for it.
class ScriptedDevice : public platform::HidBackend, public platform::InUseLock {
 public:
  std::vector<std::string> EnumerateInterfaces() override { return {"scripted"}; }
  std::unique_ptr<platform::HidHandle> Open(const std::string&) override {
    return std::make_unique<Handle>(*this);
  }
  platform::LockResult Acquire() override { return platform::LockResult::Acquired; }
  void Release() override {}

  // Where Read finds ReplyCode.
  void Watch(const ReplyChannel& channel) { channel_ = &channel; }
  void Queue(std::initializer_list<std::uint8_t> codes) {
    std::lock_guard guard(mutex_);
    queued_.insert(queued_.end(), codes);
  }
  // From now on a report is always there.
  void Flood(std::uint8_t code) {
    std::lock_guard guard(mutex_);
    flood_ = code;
  }
  // The reads since the last call: their bounds, and the ReplyCode each found.
  std::vector<int> TakeBounds() {
    std::lock_guard guard(mutex_);
    return std::exchange(bounds_, {});
  }
  std::vector<std::uint8_t> TakeCodesFound() {
    std::lock_guard guard(mutex_);
    return std::exchange(codesFound_, {});
  }

 private:
  class Handle : public platform::HidHandle {
   public:
    explicit Handle(ScriptedDevice& device) : device_(device) {}
    bool GetAttributes(platform::HidAttributes& out) override {
      out = {firmware::kVendorId, 0x8105, 0x0001};
      return true;
    }
    bool GetSerialNumberString(std::uint8_t*, std::size_t) override { return false; }
    bool GetProductString(std::uint8_t*, std::size_t) override { return false; }
    bool GetReportLengths(platform::HidReportLengths& out) override {
      out = {65, 65};
      return true;
    }
    bool Write(const std::uint8_t*, std::size_t) override { return true; }
    platform::ReadResult Read(std::uint8_t* buffer, std::size_t length, int timeoutMs) override {
      return device_.Read(buffer, length, timeoutMs);
    }

   private:
    ScriptedDevice& device_;
  };

  platform::ReadResult Read(std::uint8_t* buffer, std::size_t length, int timeoutMs) {
    std::lock_guard guard(mutex_);
    bounds_.push_back(timeoutMs);
    if (channel_ != nullptr) codesFound_.push_back(channel_->ReplyCode());
    std::optional<std::uint8_t> code = flood_;
    if (!code && !queued_.empty()) {
      code = queued_.front();
      queued_.pop_front();
    }
    if (!code) return {platform::ReadStatus::Timeout, 0};
    std::fill_n(buffer, length, 0x00);
    buffer[1] = *code;
    return {platform::ReadStatus::Data, length};
  }

  std::mutex mutex_;
  const ReplyChannel* channel_ = nullptr;
  std::deque<std::uint8_t> queued_;
  std::optional<std::uint8_t> flood_;
  std::vector<int> bounds_;
  std::vector<std::uint8_t> codesFound_;
};

class ScriptedReplyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(link_.OpenDeviceLink(), kOk);
    link_.Replies().Create();
    device_.Watch(link_.Replies());
    device_.TakeBounds();
    device_.TakeCodesFound();
  }

  ScriptedDevice device_;
  DeviceLink link_{platform::Platform{&device_, &device_, nullptr, nullptr, platform::Pauses{}}};
};

// Whoever looks at ReplyCode while a wait is still reading sees the reply it read last.
TEST_F(ScriptedReplyTest, EachReplyIsStoredBeforeTheWaitGoesOn) {
  device_.Queue({0x01, ReplyAck});
  EXPECT_EQ(WaitReply(link_), ReplyAck);
  // Two reports, then the read that found none.
  EXPECT_EQ(device_.TakeCodesFound(), (std::vector<std::uint8_t>{0x00, 0x01, ReplyAck}));
  EXPECT_EQ(link_.Replies().ReplyCode(), 0) << "the take left the code behind";
}

// The time-out is the link's at the moment of each wait; and no read may keep the read handle
// longer than a slice, or closing the link would wait for it.
TEST_F(ScriptedReplyTest, EachWaitReadsTheTimeOutAfreshAndReadsInSlices) {
  for (const std::uint16_t timeoutMs : {45, 7, 300}) {
    SCOPED_TRACE(timeoutMs);
    link_.SetReplyTimeoutMs(timeoutMs);
    EXPECT_EQ(WaitReply(link_), ReplyNone);
    const std::vector<int> bounds = device_.TakeBounds();
    EXPECT_EQ(std::accumulate(bounds.begin(), bounds.end(), 0), timeoutMs);
    EXPECT_LE(*std::max_element(bounds.begin(), bounds.end()), ReplyChannel::kReadSliceMs);
  }
}

// A device that never stops sending cannot hold the run's thread: the take ends with one of its
// reports.
TEST_F(ScriptedReplyTest, AFloodOfReportsCannotHoldTheWait) {
  link_.Replies().Close();
  device_.Flood(ReplyAck);
  link_.Replies().Create();
  EXPECT_EQ(WaitReply(link_), ReplyAck);
  EXPECT_EQ(link_.Replies().ReplyCode(), 0);
}

}  // namespace
}  // namespace kavori::device
