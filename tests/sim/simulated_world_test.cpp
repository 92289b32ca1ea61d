#include "sim/simulated_world.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <thread>

#include "device/protocol.hpp"
#include "firmware/image_builder.hpp"
#include "firmware/product_ids.hpp"

namespace kavori::sim {
namespace {

using device::CmdBurnFlash;
using device::CmdDataBlock;
using device::CmdEnterProgramming;
using device::CmdPrepare;
using device::CmdRestart;
using device::CmdVerify;
using device::kBlockSize;
using device::kReportLength;
using device::ReplyAck;
using platform::HidAttributes;
using platform::HidHandle;
using platform::ReadStatus;

// Bound for waits that end at once unless the simulation is broken.
constexpr int kBoundMs = 10000;
constexpr int kNoReply = -1;
constexpr int kGone = -2;
constexpr int kReadError = -3;

std::unique_ptr<SimulatedWorld> World(std::string_view text) {
  std::string error;
  auto options = ParseSimOptions(text, error);
  if (!options) {
    ADD_FAILURE() << "options \"" << text << "\" refused: " << error;
    options = SimOptions{};
  }
  return std::make_unique<SimulatedWorld>(*options);
}

std::vector<std::uint8_t> Command(std::uint8_t code, std::uint8_t count = 0,
                                  std::uint16_t address = 0,
                                  std::span<const std::uint8_t> data = {}) {
  std::vector<std::uint8_t> report(kReportLength, 0);
  std::copy(device::kReportHeader.begin(), device::kReportHeader.end(), report.begin());
  report[device::kReportCommand] = code;
  report[device::kReportCount] = count;
  report[device::kReportAddressLow] = static_cast<std::uint8_t>(address & 0xFF);
  report[device::kReportAddressHigh] = static_cast<std::uint8_t>(address >> 8);
  std::copy(data.begin(), data.end(), report.begin() + device::kReportData);
  return report;
}

// Two handles on one Kavori, as the device link keeps them: one writes, the other reads.
struct Link {
  std::string path;
  std::unique_ptr<HidHandle> writer;
  std::unique_ptr<HidHandle> reader;
};

// Opens Kavori number `which` in enumeration order, passing over other vendors' interfaces.
Link OpenKavori(platform::HidBackend& hid, std::size_t which = 0) {
  for (const auto& path : hid.EnumerateInterfaces()) {
    auto handle = hid.Open(path);
    HidAttributes attributes;
    if (!handle || !handle->GetAttributes(attributes) || attributes.vendorId != firmware::kVendorId)
      continue;
    if (which-- == 0) return {path, std::move(handle), hid.Open(path)};
  }
  return {};
}

// What one read without waiting finds. With no latency a reply is queued before Write returns,
// so this tells "answered", "not answered" and "gone" apart without timing.
int Poll(HidHandle& handle) {
  std::uint8_t buffer[kReportLength] = {};
  const auto result = handle.Read(buffer, sizeof buffer, 0);
  switch (result.status) {
    case ReadStatus::Data:
      return buffer[1];
    case ReadStatus::Timeout:
      return kNoReply;
    case ReadStatus::Gone:
      return kGone;
    case ReadStatus::Error:
      break;
  }
  return kReadError;
}

int Send(Link& link, const std::vector<std::uint8_t>& report) {
  link.writer->Write(report.data(), report.size());
  return Poll(*link.reader);
}

// Enter, every block, burn and verify; the outcome of each, up to the first that is not ReplyAck.
std::vector<int> Program(Link& link, std::span<const std::uint8_t> image) {
  std::vector<int> outcomes{Send(link, Command(CmdEnterProgramming, 1))};
  for (std::size_t offset = 0; offset < image.size() && outcomes.back() == ReplyAck;
       offset += kBlockSize) {
    const auto n = std::min(kBlockSize, image.size() - offset);
    outcomes.push_back(
        Send(link, Command(CmdDataBlock, static_cast<std::uint8_t>(n),
                           static_cast<std::uint16_t>(offset & 0xFFFF), image.subspan(offset, n))));
  }
  if (outcomes.back() == ReplyAck) outcomes.push_back(Send(link, Command(CmdBurnFlash)));
  if (outcomes.back() == ReplyAck) outcomes.push_back(Send(link, Command(CmdVerify)));
  return outcomes;
}

bool Eventually(const std::function<bool()>& condition) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return bytes;
}

// An image whose device descriptor carries release 0x0207.
std::vector<std::uint8_t> ImageWithRelease0207() {
  return firmware::ImageBuilder()
      .Magic()
      .DeviceDescriptorAt(16, 0x0005, 0x0207)
      .StringDescriptorAt(64, "KAVSBL0000009900990000")
      .Size(200)
      .Build();
}

TEST(SimulatedWorldTest, EnumeratesAForeignInterfaceFirstAndTheKavoriAfterIt) {
  auto world = World("");
  auto& hid = *world->Services().hid;
  const auto paths = hid.EnumerateInterfaces();
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(paths[0].rfind("sim:hidraw", 0), 0u) << paths[0];
  EXPECT_NE(paths[0], paths[1]);

  auto foreign = hid.Open(paths[0]);
  ASSERT_TRUE(foreign);
  HidAttributes attributes;
  ASSERT_TRUE(foreign->GetAttributes(attributes));
  EXPECT_EQ(attributes.vendorId, kForeignVendorId);
  EXPECT_EQ(attributes.productId, kForeignProductId);

  auto kavori = hid.Open(paths[1]);
  ASSERT_TRUE(kavori);
  ASSERT_TRUE(kavori->GetAttributes(attributes));
  EXPECT_EQ(attributes.vendorId, firmware::kVendorId);
  EXPECT_EQ(attributes.productId, 0x0005);
  EXPECT_EQ(attributes.releaseNumber, 0x0103);
  platform::HidReportLengths lengths;
  ASSERT_TRUE(kavori->GetReportLengths(lengths));
  EXPECT_EQ(lengths.input, 65);
  EXPECT_EQ(lengths.output, 65);
}

TEST(SimulatedWorldTest, StringQueriesWriteUtf16AndLeaveTheRestOfTheField) {
  auto world = World("product=K\xC3\xA9\xC4\x80");  // K, U+00E9, U+0100
  Link link = OpenKavori(*world->Services().hid);
  ASSERT_TRUE(link.writer);

  std::uint8_t field[256];
  std::fill(std::begin(field), std::end(field), 0xEE);
  ASSERT_TRUE(link.writer->GetProductString(field, 255));
  const std::uint8_t expected[] = {'K', 0, 0xE9, 0, 0x00, 0x01, 0, 0, 0xEE};
  EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), field));

  std::fill(std::begin(field), std::end(field), 0xEE);
  ASSERT_TRUE(link.writer->GetSerialNumberString(field, 255));
  EXPECT_EQ(field[0], 'K');
  EXPECT_EQ(field[2 * 21], 'E');
  EXPECT_EQ(field[2 * 22], 0);
  EXPECT_EQ(field[2 * 22 + 1], 0);
  EXPECT_EQ(field[2 * 23], 0xEE) << "bytes after the terminator must stay as they were";

  // A buffer too short for the whole string gets whole units only and no terminator.
  std::fill(std::begin(field), std::end(field), 0xEE);
  ASSERT_TRUE(link.writer->GetSerialNumberString(field, 5));
  EXPECT_EQ(field[2], 'A');
  EXPECT_EQ(field[4], 0xEE);
}

TEST(SimulatedWorldTest, LoaderIdStartsInLoaderModeAndAnswersEnter) {
  auto world = World("pid=0x810B,release=0x0102");
  Link link = OpenKavori(*world->Services().hid);
  ASSERT_TRUE(link.writer);
  HidAttributes attributes;
  ASSERT_TRUE(link.writer->GetAttributes(attributes));
  EXPECT_EQ(attributes.productId, 0x810B);
  EXPECT_EQ(attributes.releaseNumber, 0x0102);
  EXPECT_EQ(Send(link, Command(CmdEnterProgramming, 1)), ReplyAck);
  EXPECT_EQ(Poll(*link.writer), ReplyAck) << "every open handle gets the reply";
  EXPECT_TRUE(world->Snapshot(0)->loaderMode);
}

TEST(SimulatedWorldTest, NormalModeAnswersNoLoaderCommand) {
  auto world = World("");
  Link link = OpenKavori(*world->Services().hid);
  ASSERT_TRUE(link.writer);
  for (const std::uint8_t code :
       {CmdEnterProgramming, CmdDataBlock, CmdBurnFlash, CmdVerify, CmdRestart})
    EXPECT_EQ(Send(link, Command(code, 1)), kNoReply) << "command " << int(code);
  EXPECT_TRUE(world->Snapshot(0)->present);
}

TEST(SimulatedWorldTest, FullProgrammingBurnsTheImageAndRestartsWithItsRelease) {
  auto world = World("pid=0x810A,restart=0");
  Link link = OpenKavori(*world->Services().hid);
  ASSERT_TRUE(link.writer);
  const auto image = ImageWithRelease0207();
  const auto outcomes = Program(link, image);
  EXPECT_EQ(outcomes, std::vector<int>(1 + 4 + 2, ReplyAck));

  link.writer->Write(Command(CmdRestart, 1).data(), kReportLength);
  EXPECT_EQ(Poll(*link.reader), kGone) << "restart makes the device vanish";
  EXPECT_FALSE(link.writer->Write(Command(CmdEnterProgramming, 1).data(), kReportLength));
  ASSERT_TRUE(Eventually([&] { return world->Snapshot(0)->present; }));

  const auto snapshot = *world->Snapshot(0);
  EXPECT_EQ(snapshot.flash, image);
  EXPECT_EQ(snapshot.productId, 0x000A);
  EXPECT_FALSE(snapshot.loaderMode);
  EXPECT_EQ(snapshot.release, 0x0207);
  EXPECT_NE(snapshot.path, link.path);
  EXPECT_EQ(world->Services().hid->Open(link.path), nullptr) << "the old path is gone";
  ASSERT_EQ(snapshot.reports.size(), 1u + 4 + 2 + 1);
  EXPECT_EQ(snapshot.reports[1].command, CmdDataBlock);
  EXPECT_EQ(snapshot.reports[1].bytes, Command(CmdDataBlock, 56, 0, std::span(image).first(56)));
  EXPECT_EQ(snapshot.reports.back().command, CmdRestart);
}

TEST(SimulatedWorldTest, RestartKeepsTheReleaseWhenTheFlashHoldsNoDescriptor) {
  auto world = World("pid=0x8105,restart=0");
  Link link = OpenKavori(*world->Services().hid);
  const auto image = Pattern(100);
  ASSERT_EQ(Program(link, image).back(), ReplyAck);
  link.writer->Write(Command(CmdRestart, 1).data(), kReportLength);
  ASSERT_TRUE(Eventually([&] { return world->Snapshot(0)->present; }));
  EXPECT_EQ(world->Snapshot(0)->release, 0x0103);
  EXPECT_EQ(world->Snapshot(0)->productId, 0x0005);
}

TEST(SimulatedWorldTest, DownloadPast64KiBTracksTheFullOffset) {
  auto world = World("pid=0x8105,nak=data@70000");
  Link link = OpenKavori(*world->Services().hid);
  // Blocks up to 69944 pass although their addresses wrapped; the block at 70000 (address
  // 0x1170) is the one the fault names.
  const auto outcomes = Program(link, Pattern(70056));
  ASSERT_EQ(outcomes.size(), 1u + 70000 / 56 + 1);
  EXPECT_EQ(outcomes.back(), kSimFailureCode);
  EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), ReplyAck),
            static_cast<long>(outcomes.size() - 1));
  EXPECT_EQ(world->Snapshot(0)->download, Pattern(70000));

  auto clean = World("pid=0x8105");
  Link cleanLink = OpenKavori(*clean->Services().hid);
  EXPECT_EQ(Program(cleanLink, Pattern(70056)).back(), ReplyAck);
  EXPECT_EQ(clean->Snapshot(0)->flash, Pattern(70056));
}

TEST(SimulatedWorldTest, RefusesBlocksOutOfOrderOrOutsideASession) {
  const auto data = Pattern(56);
  auto world = World("pid=0x8105");
  Link link = OpenKavori(*world->Services().hid);
  EXPECT_EQ(Send(link, Command(CmdDataBlock, 56, 0, data)), kSimFailureCode)
      << "block before enter";
  EXPECT_EQ(Send(link, Command(CmdBurnFlash)), kSimFailureCode) << "burn before enter";
  ASSERT_EQ(Send(link, Command(CmdEnterProgramming, 1)), ReplyAck);
  EXPECT_EQ(Send(link, Command(CmdDataBlock, 56, 56, data)), kSimFailureCode)
      << "first block not at 0";
  EXPECT_EQ(Send(link, Command(CmdDataBlock, 0, 0, data)), kSimFailureCode) << "count 0";
  EXPECT_EQ(Send(link, Command(CmdDataBlock, 57, 0, data)), kSimFailureCode) << "count 57";
  EXPECT_EQ(Send(link, Command(CmdDataBlock, 56, 0, data)), ReplyAck);
  EXPECT_EQ(Send(link, Command(CmdDataBlock, 56, 0, data)), kSimFailureCode) << "block repeated";
  EXPECT_EQ(Send(link, Command(CmdVerify)), kSimFailureCode) << "verify before burn";
  ASSERT_EQ(Send(link, Command(CmdEnterProgramming, 1)), ReplyAck);
  EXPECT_EQ(Send(link, Command(CmdDataBlock, 56, 0, data)), ReplyAck) << "enter starts again at 0";
  EXPECT_EQ(world->Snapshot(0)->download, data);
}

TEST(SimulatedWorldTest, ShortWritesArePaddedAndBadLengthsRefused) {
  auto world = World("pid=0x8105");
  Link link = OpenKavori(*world->Services().hid);
  const auto enter = Command(CmdEnterProgramming, 1);
  EXPECT_FALSE(link.writer->Write(enter.data(), 0));
  std::vector<std::uint8_t> tooLong(66, 0);
  EXPECT_FALSE(link.writer->Write(tooLong.data(), tooLong.size()));
  EXPECT_TRUE(world->Snapshot(0)->reports.empty());

  ASSERT_TRUE(link.writer->Write(enter.data(), 9));
  EXPECT_EQ(Poll(*link.reader), ReplyAck);
  const auto reports = world->Snapshot(0)->reports;
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].bytes, std::vector<std::uint8_t>(enter.begin(), enter.begin() + 9));

  std::vector<std::uint8_t> numbered = enter;
  numbered[0] = 0x01;
  EXPECT_EQ(Send(link, numbered), kNoReply) << "a numbered report is not a command";
}

struct FaultCase {
  std::string options;
  std::vector<int> outcomes;  // enter, blocks at 0, 56, 112, burn, verify
  bool presentAfter;
};

TEST(SimulatedWorldTest, FaultsHitTheNamedCommandOrBlock) {
  constexpr int A = ReplyAck;
  constexpr int F = kSimFailureCode;
  const FaultCase cases[] = {
      {"", {A, A, A, A, A, A}, true},
      {"nak=enter", {F}, true},
      {"silent=enter", {kNoReply}, true},
      {"unplug=enter", {kGone}, false},
      {"nak=data", {A, F}, true},
      {"nak=data@56", {A, A, F}, true},
      {"silent=data@0x70", {A, A, A, kNoReply}, true},
      {"unplug=data@112", {A, A, A, kGone}, false},
      {"nak=burn", {A, A, A, A, F}, true},
      {"silent=burn", {A, A, A, A, kNoReply}, true},
      {"nak=verify", {A, A, A, A, A, F}, true},
      {"unplug=verify", {A, A, A, A, A, kGone}, false},
      {"silent=verify,nak=verify", {A, A, A, A, A, kNoReply}, true},
      {"nak=prepare,unplug=prepare", {A, A, A, A, A, A}, true},
  };
  for (const auto& c : cases) {
    auto world = World(c.options.empty() ? "pid=0x8105" : "pid=0x8105," + c.options);
    Link link = OpenKavori(*world->Services().hid);
    ASSERT_TRUE(link.writer) << c.options;
    EXPECT_EQ(Program(link, Pattern(168)), c.outcomes) << c.options;
    EXPECT_EQ(world->Snapshot(0)->present, c.presentAfter) << c.options;
  }
}

TEST(SimulatedWorldTest, RestartFaultsKeepTheDeviceInLoaderMode) {
  const std::pair<const char*, int> cases[] = {
      {"nak=restart", kSimFailureCode}, {"silent=restart", kNoReply}, {"unplug=restart", kGone}};
  for (const auto& [options, outcome] : cases) {
    auto world = World(std::string("pid=0x8105,restart=0,") + options);
    Link link = OpenKavori(*world->Services().hid);
    EXPECT_EQ(Send(link, Command(CmdRestart, 1)), outcome) << options;
    const auto snapshot = *world->Snapshot(0);
    EXPECT_EQ(snapshot.present, outcome != kGone) << options;
    EXPECT_EQ(snapshot.productId, 0x8105) << options;
  }
}

TEST(SimulatedWorldTest, PrepareFaults) {
  auto nak = World("nak=prepare,replug=0");
  Link link = OpenKavori(*nak->Services().hid);
  EXPECT_EQ(Send(link, Command(CmdPrepare)), kSimFailureCode);
  EXPECT_EQ(nak->Snapshot(0)->productId, 0x0005);
  EXPECT_EQ(nak->Snapshot(0)->path, link.path) << "a refused prepare does not replug";

  auto unplug = World("unplug=prepare,replug=0");
  Link gone = OpenKavori(*unplug->Services().hid);
  EXPECT_EQ(Send(gone, Command(CmdPrepare)), kGone);
  EXPECT_FALSE(unplug->Snapshot(0)->present) << "an unplugged device does not come back";
}

TEST(SimulatedWorldTest, PrepareReplugsIntoTheMatchingLoaderId) {
  const std::pair<std::uint16_t, std::uint16_t> cases[] = {
      {0x0005, 0x8105}, {0x000A, 0x810A}, {0x000B, 0x810B}};
  for (const auto& [normal, loader] : cases) {
    auto world = World("replug=20,pid=" + std::to_string(normal));
    auto& hid = *world->Services().hid;
    Link link = OpenKavori(hid);
    ASSERT_TRUE(link.writer);
    EXPECT_EQ(Send(link, Command(CmdPrepare)), kGone) << "prepare makes the device vanish at once";
    EXPECT_FALSE(link.writer->Write(Command(CmdPrepare).data(), kReportLength));
    EXPECT_EQ(hid.Open(link.path), nullptr);

    ASSERT_TRUE(Eventually([&] { return hid.EnumerateInterfaces().size() == 2; }));
    Link again = OpenKavori(hid);
    ASSERT_TRUE(again.writer);
    EXPECT_NE(again.path, link.path) << "a replugged device gets a new path";
    HidAttributes attributes;
    ASSERT_TRUE(again.writer->GetAttributes(attributes));
    EXPECT_EQ(attributes.productId, loader);
    EXPECT_EQ(attributes.releaseNumber, 0x0103);
    EXPECT_EQ(Poll(*link.reader), kGone) << "handles of the earlier plug-in stay gone";
    EXPECT_EQ(Send(again, Command(CmdEnterProgramming, 1)), ReplyAck);
  }
}

TEST(SimulatedWorldTest, ReplugNeverLeavesTheDeviceInNormalMode) {
  auto world = World("replug=never");
  Link link = OpenKavori(*world->Services().hid);
  EXPECT_EQ(Send(link, Command(CmdPrepare)), kNoReply);
  const auto snapshot = *world->Snapshot(0);
  EXPECT_TRUE(snapshot.present);
  EXPECT_EQ(snapshot.path, link.path);
  EXPECT_EQ(snapshot.productId, 0x0005);
}

TEST(SimulatedWorldTest, ReplugIntoNormalComesBackWithTheNormalId) {
  auto world = World("replug=0,replug-into=normal,pid=0x000B");
  Link link = OpenKavori(*world->Services().hid);
  EXPECT_EQ(Send(link, Command(CmdPrepare)), kGone);
  ASSERT_TRUE(Eventually([&] { return world->Snapshot(0)->present; }));
  EXPECT_EQ(world->Snapshot(0)->productId, 0x000B);
  EXPECT_NE(world->Snapshot(0)->path, link.path);
}

TEST(SimulatedWorldTest, InUseLockIsHeldOncePerProcessOrByAnother) {
  auto world = World("");
  auto& lock = *world->Services().lock;
  EXPECT_EQ(lock.Acquire(), platform::LockResult::Acquired);
  EXPECT_TRUE(world->LockHeld());
  EXPECT_EQ(lock.Acquire(), platform::LockResult::InUse) << "held by this process already";
  lock.Release();
  EXPECT_FALSE(world->LockHeld());
  lock.Release();
  EXPECT_EQ(lock.Acquire(), platform::LockResult::Acquired);

  auto held = World("lock=held");
  EXPECT_EQ(held->Services().lock->Acquire(), platform::LockResult::InUse);
  EXPECT_FALSE(held->LockHeld());
}

TEST(SimulatedWorldTest, InstanceListNamesPresentDevicesAfterAForeignOne) {
  auto world = World("replug=never");
  auto list = world->Services().instances->Read();
  ASSERT_TRUE(list);
  ASSERT_EQ(list->size(), 2u);
  EXPECT_EQ((*list)[0].find("VID_0BEF"), std::string::npos);
  EXPECT_EQ((*list)[1], "USB\\VID_0BEF&PID_0005\\KAVSBL01234567890ABCDE");

  world->Unplug(0);
  list = world->Services().instances->Read();
  ASSERT_TRUE(list);
  EXPECT_EQ(list->size(), 1u) << "an unplugged device is not listed";

  EXPECT_FALSE(World("list=unreadable")->Services().instances->Read());
}

TEST(SimulatedWorldTest, SeveralDevicesHaveDistinctSerialsAndStateOfTheirOwn) {
  auto world = World("devices=2,replug=never");
  auto& hid = *world->Services().hid;
  EXPECT_EQ(world->DeviceCount(), 2u);
  EXPECT_EQ(hid.EnumerateInterfaces().size(), 3u);
  const auto list = *world->Services().instances->Read();
  ASSERT_EQ(list.size(), 3u);
  EXPECT_NE(list[1], list[2]);
  EXPECT_NE(world->Snapshot(0)->serial, world->Snapshot(1)->serial);

  Link second = OpenKavori(hid, 1);
  ASSERT_TRUE(second.writer);
  EXPECT_EQ(second.path, world->Snapshot(1)->path);
  second.writer->Write(Command(CmdPrepare).data(), kReportLength);
  EXPECT_EQ(world->Snapshot(1)->reports.size(), 1u);
  EXPECT_TRUE(world->Snapshot(0)->reports.empty());
  EXPECT_EQ(world->Snapshot(0)->opens, 1u) << "the search opened the first device once";
  EXPECT_EQ(world->Snapshot(1)->opens, 2u);
  EXPECT_EQ(world->Snapshot(1)->openHandles, 2u);
  second = {};
  EXPECT_EQ(world->Snapshot(1)->openHandles, 0u);
}

TEST(SimulatedWorldTest, NoDeviceLeavesOnlyTheForeignInterface) {
  auto world = World("devices=0");
  EXPECT_EQ(world->Services().hid->EnumerateInterfaces().size(), 1u);
  EXPECT_FALSE(world->Snapshot(0));
  EXPECT_EQ(world->Services().instances->Read()->size(), 1u);
  EXPECT_FALSE(OpenKavori(*world->Services().hid).writer);
}

TEST(SimulatedWorldTest, UnplugAndPlugGiveANewPath) {
  auto world = World("");
  auto& hid = *world->Services().hid;
  Link link = OpenKavori(hid);
  world->Unplug(0);
  EXPECT_EQ(Poll(*link.reader), kGone);
  HidAttributes attributes;
  EXPECT_FALSE(link.writer->GetAttributes(attributes));
  EXPECT_EQ(hid.Open(link.path), nullptr);
  world->Plug(0);
  EXPECT_EQ(Poll(*link.reader), kGone);
  Link again = OpenKavori(hid);
  ASSERT_TRUE(again.writer);
  EXPECT_NE(again.path, link.path);
}

struct BlockedRead {
  platform::ReadResult result;
  std::uint8_t code = 0;
  bool woken = false;  // ended long before its bound, so something woke it
};

// Reads on another thread with a long bound while `meanwhile` runs on this one.
BlockedRead ReadWhile(HidHandle& handle, const std::function<void()>& meanwhile) {
  BlockedRead read;
  std::uint8_t buffer[kReportLength] = {};
  std::atomic<bool> started{false};
  std::atomic<bool> done{false};
  std::thread reader([&] {
    started = true;
    read.result = handle.Read(buffer, sizeof buffer, 3 * kBoundMs);
    done = true;
  });
  while (!started) std::this_thread::yield();
  // Best effort to act while the read is blocked; the outcome must be the same either way.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  meanwhile();
  read.woken = Eventually([&] { return done.load(); });
  reader.join();
  read.code = buffer[1];
  return read;
}

TEST(SimulatedWorldTest, BlockedReadWakesWhenTheDeviceVanishes) {
  auto world = World("");
  Link link = OpenKavori(*world->Services().hid);
  const auto read = ReadWhile(*link.reader, [&] { world->Unplug(0); });
  EXPECT_TRUE(read.woken) << "the read slept through the unplug";
  EXPECT_EQ(read.result.status, ReadStatus::Gone);
}

TEST(SimulatedWorldTest, BlockedReadWakesForAReplyThatComesAfterTheLatency) {
  auto world = World("pid=0x8105,latency-us=300000");
  Link link = OpenKavori(*world->Services().hid);
  ASSERT_TRUE(link.writer->Write(Command(CmdEnterProgramming, 1).data(), kReportLength));
  EXPECT_EQ(Poll(*link.reader), kNoReply) << "the reply is not readable before its latency";
  const auto read = ReadWhile(*link.reader, [] {});
  EXPECT_TRUE(read.woken) << "the read slept past the reply's latency";
  EXPECT_EQ(read.result.status, ReadStatus::Data);
  EXPECT_EQ(read.result.length, kReportLength);
  EXPECT_EQ(read.code, ReplyAck);
}

TEST(SimulatedWorldTest, BlockedReadWakesForAReplyToAnotherHandlesWrite) {
  auto world = World("pid=0x8105");
  Link link = OpenKavori(*world->Services().hid);
  const auto read = ReadWhile(*link.reader, [&] {
    link.writer->Write(Command(CmdEnterProgramming, 1).data(), kReportLength);
  });
  EXPECT_TRUE(read.woken) << "the read slept through the reply";
  EXPECT_EQ(read.result.status, ReadStatus::Data);
  EXPECT_EQ(read.code, ReplyAck);
}

TEST(SimulatedWorldTest, HandlesThatOutliveTheWorldReportGone) {
  auto world = World("");
  auto& hid = *world->Services().hid;
  auto foreign = hid.Open(hid.EnumerateInterfaces()[0]);
  Link link = OpenKavori(hid);
  world.reset();
  EXPECT_EQ(Poll(*link.reader), kGone);
  EXPECT_EQ(Poll(*foreign), kGone);
  EXPECT_FALSE(link.writer->Write(Command(CmdPrepare).data(), kReportLength));
}

// The device link's threads at once: a run writing and waiting, a reader handing replies over,
// and a watcher enumerating and inspecting. Meant for ThreadSanitizer.
TEST(SimulatedWorldTest, ConcurrentRunReaderAndWatcherAgree) {
  auto world = World("pid=0x8105");
  auto& hid = *world->Services().hid;
  Link link = OpenKavori(hid);
  const auto image = Pattern(kBlockSize * 40);

  std::mutex mutex;
  std::condition_variable replied;
  std::vector<int> replies;
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    std::uint8_t buffer[kReportLength];
    while (!stop) {
      const auto result = link.reader->Read(buffer, sizeof buffer, 5);
      if (result.status == ReadStatus::Gone) return;
      if (result.status != ReadStatus::Data) continue;
      std::lock_guard lock(mutex);
      replies.push_back(buffer[1]);
      replied.notify_all();
    }
  });
  std::thread watcher([&] {
    while (!stop) {
      for (const auto& path : hid.EnumerateInterfaces()) hid.Open(path);
      world->Snapshot(0);
    }
  });

  std::thread run([&] {
    const auto await = [&](std::size_t count) {
      std::unique_lock lock(mutex);
      replied.wait_for(lock, std::chrono::milliseconds(kBoundMs),
                       [&] { return replies.size() >= count; });
    };
    link.writer->Write(Command(CmdEnterProgramming, 1).data(), kReportLength);
    await(1);
    for (std::size_t offset = 0; offset < image.size(); offset += kBlockSize) {
      link.writer->Write(Command(CmdDataBlock, kBlockSize, static_cast<std::uint16_t>(offset),
                                 std::span(image).subspan(offset, kBlockSize))
                             .data(),
                         kReportLength);
      await(2 + offset / kBlockSize);
    }
    link.writer->Write(Command(CmdBurnFlash).data(), kReportLength);
    await(2 + image.size() / kBlockSize);
  });
  run.join();
  stop = true;
  reader.join();
  watcher.join();

  EXPECT_EQ(replies, std::vector<int>(2 + image.size() / kBlockSize, ReplyAck));
  EXPECT_EQ(world->Snapshot(0)->flash, image);
}

}  // namespace
}  // namespace kavori::sim
