#include "sim/kavori_model.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/protocol.hpp"
#include "firmware/image_builder.hpp"

namespace kavori::sim {
namespace {

using std::chrono::milliseconds;

using device::CmdBurnFlash;
using device::CmdDataBlock;
using device::CmdEnterProgramming;
using device::CmdPrepare;
using device::CmdRestart;
using device::CmdVerify;
using device::ReplyAck;

SimOptions Options(std::string_view text) {
  std::string error;
  const auto options = ParseSimOptions(text, error);
  EXPECT_TRUE(options) << text << ": " << error;
  return options.value_or(SimOptions{});
}

// A command report as the host writes it, report id 0 first, 65 bytes.
std::vector<std::uint8_t> Report(std::uint8_t command, std::uint8_t count = 0,
                                 std::uint16_t address = 0, std::uint8_t fill = 0xA5) {
  std::vector<std::uint8_t> report(device::kReportLength, 0);
  std::copy(device::kReportHeader.begin(), device::kReportHeader.end(), report.begin());
  report[device::kReportCommand] = command;
  report[device::kReportCount] = count;
  report[device::kReportAddressLow] = static_cast<std::uint8_t>(address & 0xFF);
  report[device::kReportAddressHigh] = static_cast<std::uint8_t>(address >> 8);
  std::fill_n(report.begin() + device::kReportData, count, fill);
  return report;
}

struct Step {
  std::vector<std::uint8_t> report;
  std::optional<std::uint8_t> reply;
  Presence presence = Presence::Stays;
};

struct ProtocolCase {
  std::string name;
  std::string options;
  std::vector<Step> steps;
};

TEST(KavoriModelTest, AnswersEachCommandAsItsModeAndSessionAllow) {
  const std::optional<std::uint8_t> none;
  auto foreignId = Report(CmdEnterProgramming);
  foreignId[0] = 0x01;
  auto badHeader = Report(CmdEnterProgramming);
  badHeader[2] = 0x21;
  const ProtocolCase cases[] = {
      {"normal mode ignores loader commands",
       "",
       {{Report(CmdEnterProgramming), none},
        {Report(CmdDataBlock, 56), none},
        {Report(CmdRestart), none}}},
      {"normal mode replugs on prepare", "", {{Report(CmdPrepare), none, Presence::Replugs}}},
      {"the user never replugs", "replug=never", {{Report(CmdPrepare), none}}},
      {"loader mode ignores prepare", "pid=0x8105", {{Report(CmdPrepare), none}}},
      {"a block before enter is refused",
       "pid=0x8105",
       {{Report(CmdDataBlock, 56), kSimFailureCode}, {Report(CmdEnterProgramming), ReplyAck}}},
      {"blocks follow each other from offset 0",
       "pid=0x8105",
       {{Report(CmdEnterProgramming), ReplyAck},
        {Report(CmdDataBlock, 56, 0x0038), kSimFailureCode},
        {Report(CmdDataBlock, 56, 0x0000), ReplyAck},
        {Report(CmdDataBlock, 56, 0x0000), kSimFailureCode},
        {Report(CmdDataBlock, 56, 0x0038), ReplyAck}}},
      {"a block holds 1 to 56 bytes",
       "pid=0x8105",
       {{Report(CmdEnterProgramming), ReplyAck},
        {Report(CmdDataBlock, 0), kSimFailureCode},
        {Report(CmdDataBlock, 57), kSimFailureCode},
        {Report(CmdDataBlock, 1), ReplyAck}}},
      {"burn and verify need a session",
       "pid=0x8105",
       {{Report(CmdBurnFlash), kSimFailureCode}, {Report(CmdVerify), kSimFailureCode}}},
      {"another report id or header is no command",
       "pid=0x8105",
       {{foreignId, none}, {badHeader, none}, {Report(0x11), none}}},
      {"a nak fault answers failure and does nothing",
       "pid=0x8105,nak=enter",
       {{Report(CmdEnterProgramming), kSimFailureCode},
        {Report(CmdDataBlock, 56), kSimFailureCode}}},
      {"a silent fault answers nothing", "pid=0x8105,silent=verify", {{Report(CmdVerify), none}}},
      {"an unplug fault hits only its block",
       "pid=0x8105,unplug=data@0x38",
       {{Report(CmdEnterProgramming), ReplyAck},
        {Report(CmdDataBlock, 56, 0x0000), ReplyAck},
        {Report(CmdDataBlock, 56, 0x0038), none, Presence::Vanishes}}},
      {"an unplug fault on prepare vanishes for good",
       "unplug=prepare",
       {{Report(CmdPrepare), none, Presence::Vanishes}}},
  };
  for (const ProtocolCase& c : cases) {
    KavoriModel model(Options(c.options));
    for (std::size_t k = 0; k < c.steps.size(); ++k) {
      const ModelResponse response = model.Receive(c.steps[k].report);
      EXPECT_EQ(response.reply, c.steps[k].reply) << c.name << ", step " << k;
      EXPECT_EQ(response.presence, c.steps[k].presence) << c.name << ", step " << k;
    }
  }
}

TEST(KavoriModelTest, PrepareNamesTheIdentityAfterTheReplug) {
  const struct {
    std::string options;
    milliseconds after;
    std::uint16_t productId;
  } cases[] = {
      {"pid=0x0005,replug=1500", milliseconds(1500), 0x8105},
      {"pid=0x000A", milliseconds(2000), 0x810A},
      {"pid=0x000B,replug-into=normal,replug=10", milliseconds(10), 0x000B},
  };
  for (const auto& c : cases) {
    KavoriModel model(Options(c.options + ",release=0x0207"));
    const ModelResponse response = model.Receive(Report(CmdPrepare));
    ASSERT_EQ(response.presence, Presence::Replugs) << c.options;
    EXPECT_EQ(response.after, c.after) << c.options;
    EXPECT_EQ(response.productId, c.productId) << c.options;
    EXPECT_EQ(response.release, 0x0207) << c.options;
    // The identity changes only once the owner has the device reappear.
    EXPECT_EQ(model.ProductId(), Options(c.options).productId) << c.options;
  }
}

TEST(KavoriModelTest, ProgrammingTheDemoImageRestartsIntoNormalModeWithItsRelease) {
  const std::vector<std::uint8_t> image = firmware::DemoImage().Build();
  KavoriModel model(Options("pid=0x8105,release=0x0103,restart=700"));
  ASSERT_EQ(model.Receive(Report(CmdEnterProgramming)).reply, ReplyAck);
  std::array<std::uint8_t, device::kReportLength> report{};
  std::copy(device::kReportHeader.begin(), device::kReportHeader.end(), report.begin());
  report[device::kReportCommand] = CmdDataBlock;
  for (std::size_t offset = 0; offset < image.size(); offset += device::kBlockSize) {
    const std::size_t n = std::min(device::kBlockSize, image.size() - offset);
    device::FrameDataBlock(report, offset, std::span(image).subspan(offset, n));
    ASSERT_EQ(model.Receive(report).reply, ReplyAck) << "block at " << offset;
  }
  EXPECT_TRUE(model.Flash().empty()) << "nothing is burned before burn";
  EXPECT_EQ(model.Receive(Report(CmdBurnFlash)).reply, ReplyAck);
  EXPECT_EQ(model.Receive(Report(CmdVerify)).reply, ReplyAck);
  EXPECT_EQ(model.Flash(), image);

  const ModelResponse restart = model.Receive(Report(CmdRestart));
  EXPECT_FALSE(restart.reply);
  ASSERT_EQ(restart.presence, Presence::Replugs);
  EXPECT_EQ(restart.after, milliseconds(700));
  EXPECT_EQ(restart.productId, 0x0005);
  EXPECT_EQ(restart.release, firmware::kDemoBcdDevice);

  model.Vanished();
  model.Reappear(restart.productId, restart.release);
  EXPECT_EQ(model.ProductId(), 0x0005);
  EXPECT_EQ(model.Release(), firmware::kDemoBcdDevice);
  EXPECT_EQ(model.Receive(Report(CmdPrepare)).presence, Presence::Replugs) << "normal mode again";
}

TEST(KavoriModelTest, LeavingTheBusEndsTheLoaderSession) {
  KavoriModel model(Options("pid=0x8105"));
  ASSERT_EQ(model.Receive(Report(CmdEnterProgramming)).reply, ReplyAck);
  ASSERT_EQ(model.Receive(Report(CmdDataBlock, 56)).reply, ReplyAck);
  model.Vanished();
  model.Reappear(0x8105, 0x0103);
  EXPECT_EQ(model.Receive(Report(CmdDataBlock, 56, 0x0038)).reply, kSimFailureCode);
  EXPECT_EQ(model.Receive(Report(CmdBurnFlash)).reply, kSimFailureCode);
  EXPECT_TRUE(model.Flash().empty());
}

TEST(KavoriModelTest, BytesPastAShortReportCountAsZero) {
  KavoriModel model(Options("pid=0x8105"));
  ASSERT_EQ(model.Receive(Report(CmdEnterProgramming)).reply, ReplyAck);
  // A 20-byte data report of 56 bytes: the missing 45 arrive as zeros.
  auto report = Report(CmdDataBlock, 56, 0, 0x7E);
  report.resize(20);
  ASSERT_EQ(model.Receive(report).reply, ReplyAck);
  std::vector<std::uint8_t> expected(56, 0);
  std::fill_n(expected.begin(), 12, 0x7E);
  EXPECT_EQ(model.Download(), expected);
}

}  // namespace
}  // namespace kavori::sim
