#include "device/commands.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "device/device_link.hpp"
#include "device/results.hpp"
#include "device/sim_fixture.hpp"

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
  ASSERT_EQ(OpenDeviceLink(), kOk);
  EXPECT_EQ(SendEnterProgramming(), kOk);
  ASSERT_EQ(Received().size(), 1u);
  EXPECT_EQ(Received()[0], Report({0x00, 0x10, 0x20, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00}));
}

TEST_F(CommandsTest, PrepareUsesItsOwnBufferAndLeavesTheCommandReportAlone) {
  MakeWorld();
  ASSERT_EQ(OpenDeviceLink(), kOk);
  CommandReport[kReportData + 5] = 0x77;
  EXPECT_EQ(SendPrepare(), kOk);
  ASSERT_EQ(Received().size(), 1u);
  EXPECT_EQ(Received()[0], Report({0x00, 0x10, 0x20, 0x62}));
  EXPECT_EQ(CommandReport[kReportData + 5], 0x77);
}

TEST_F(CommandsTest, PrepareOnAVanishedDeviceReportsTheFailedWrite) {
  MakeWorld();
  ASSERT_EQ(OpenDeviceLink(), kOk);
  world_->Unplug(0);
  EXPECT_EQ(SendPrepare(), kNotWritten);
}

// Commands write only their own fields: the data bytes of the last block reach later reports.
TEST_F(CommandsTest, BurnAfterABlockCarriesTheBlocksLeftoverDataBytes) {
  MakeWorld("pid=0x8105");
  ASSERT_EQ(OpenDeviceLink(), kOk);
  ReplyEvent.Create();
  SendEnterProgramming();
  ASSERT_EQ(WaitReply(), ReplyAck);

  CommandReport[kReportCommand] = CmdDataBlock;
  CommandReport[kReportCount] = kBlockSize;
  for (std::size_t k = 0; k < kBlockSize; ++k) CommandReport[kReportData + k] = 0xA0 + k % 16;
  WriteCommandReport();
  ASSERT_EQ(WaitReply(), ReplyAck);

  EXPECT_EQ(SendBurnFlash(), kOk);
  const Bytes burn = Received().back();
  Bytes expected = Report({0x00, 0x10, 0x20, 0x30, 0x00, 0x00, 0x00, 0x00, 0x00});
  for (std::size_t k = 1; k < kBlockSize; ++k) expected[kReportData + k] = 0xA0 + k % 16;
  EXPECT_EQ(burn, expected);

  EXPECT_EQ(SendVerify(), kOk);
  EXPECT_EQ(Received().back()[kReportCommand], CmdVerify);
  EXPECT_EQ(SendRestart(), kOk);
  Bytes restart = expected;
  restart[kReportCommand] = CmdRestart;
  restart[kReportCount] = 1;
  EXPECT_EQ(Received().back(), restart);
}

TEST_F(CommandsTest, AwaitedCommandsFailOnANegativeReply) {
  MakeWorld("pid=0x8105,nak=burn,nak=verify");
  ASSERT_EQ(OpenDeviceLink(), kOk);
  ReplyEvent.Create();
  EXPECT_EQ(SendBurnFlash(), kNotAcknowledged);
  EXPECT_EQ(SendVerify(), kNotAcknowledged);
}

TEST_F(CommandsTest, WaitReplyWithoutAnEventFailsAtOnce) {
  ReplyTimeoutMs = 30000;  // would hang the test if the missing event were waited on
  EXPECT_EQ(WaitReply(), ReplyNone);
}

TEST_F(CommandsTest, WaitReplyTimesOutOnASilentDevice) {
  MakeWorld("pid=0x8105,silent=enter");
  ASSERT_EQ(OpenDeviceLink(), kOk);
  ReplyEvent.Create();
  ReplyTimeoutMs = 30;
  SendEnterProgramming();
  EXPECT_EQ(WaitReply(), ReplyNone);
}

// Replies are not matched to commands: the latest one since the previous take is returned,
// and a reply that came before anyone waited is returned at once.
TEST_F(CommandsTest, WaitReplyReturnsTheLatestReplyAndClearsIt) {
  MakeWorld("pid=0x8105,nak=verify");
  ASSERT_EQ(OpenDeviceLink(), kOk);
  ReplyEvent.Create();
  SendEnterProgramming();  // answered 0x55 at once, before the wait
  EXPECT_EQ(WaitReply(), ReplyAck);
  EXPECT_EQ(ReplyCode.load(), 0);

  ReplyTimeoutMs = 30;
  EXPECT_EQ(WaitReply(), ReplyNone) << "the reply was taken twice";

  CommandReport[kReportCommand] = CmdVerify;  // answered with a failure code
  WriteCommandReport();
  SendEnterProgramming();  // answered 0x55 after it
  EXPECT_EQ(WaitReply(), ReplyAck) << "not the latest of two replies";
  EXPECT_EQ(WaitReply(), ReplyNone) << "the older reply was left for the next wait";
}

TEST_F(CommandsTest, RepliesOutsideARunOnlyUpdateTheCode) {
  MakeWorld("pid=0x8105");
  ASSERT_EQ(OpenDeviceLink(), kOk);
  SendEnterProgramming();
  ASSERT_TRUE(testing::Eventually([] { return ReplyCode.load() == ReplyAck; }));
  ReplyEvent.Create();
  ReplyTimeoutMs = 30;
  EXPECT_EQ(WaitReply(), ReplyNone) << "a reply before the event existed signalled it";

  SendEnterProgramming();
  EXPECT_EQ(WaitReply(), ReplyAck);
  EXPECT_EQ(ReplyCode.load(), 0) << "the code stored before the run outlived a take";
}

}  // namespace
}  // namespace kavori::device
