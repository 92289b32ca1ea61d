#include "device/programming_run.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "device/device_link.hpp"
#include "device/flags.hpp"
#include "device/results.hpp"
#include "device/sim_fixture.hpp"
#include "firmware/firmware_image.hpp"
#include "firmware/image_builder.hpp"

namespace kavori::device {
namespace {

struct PercentCase {
  std::uint32_t offset;
  std::uint32_t size;
  int percent;
};

TEST(ProgressPercentTest, MatchesTheWorkedValuesIncludingTheDoubleRoundingCases) {
  const PercentCase cases[] = {
      {0, 30000, 1},       {280, 30000, 1},     {336, 30000, 2}, {29680, 30000, 99},
      {29736, 30000, 100}, {29960, 30000, 100}, {0, 100, 1},     {56, 100, 57},
      {0, 99, 2},          {56, 99, 57},        {0, 56, 2},
  };
  for (const PercentCase& c : cases) {
    EXPECT_EQ(ProgressPercent(c.offset, c.size), c.percent) << c.offset << " of " << c.size;
  }
}

// Where 100 (o + 1) / (s + 1) is exactly 29, 57 or 58, double rounding keeps the value itself.
TEST(ProgressPercentTest, ExactQuotientsOf29And58StayUnrounded) {
  EXPECT_EQ(ProgressPercent(28, 99), 29);
  EXPECT_EQ(ProgressPercent(57, 99), 58);
  EXPECT_EQ(ProgressPercent(29, 99), 31);
}

TEST(ProgressPercentTest, A30000ByteImageShowsExactly100Texts) {
  int last = 0;
  int texts = 0;
  for (std::uint32_t o = 0; o < 30000; o += 56) {
    const int p = ProgressPercent(o, 30000);
    if (p != last) ++texts;
    last = p;
  }
  EXPECT_EQ(texts, 100);
}

// Records what the run reports and lets the test wait for its end.
class RecordingObserver : public RunObserver {
 public:
  void RunStatus(const std::string& text) override {
    std::lock_guard guard(mutex_);
    statuses_.push_back(text);
  }
  void RunProgress(int percent, const std::string& text) override {
    std::lock_guard guard(mutex_);
    statuses_.push_back(text);
    percents_.push_back(percent);
  }
  void RunFinished() override {
    std::lock_guard guard(mutex_);
    finished_ = true;
    activeAtFinish_ = ProgrammingActive;
    linkOpenAtFinish_ = IsDeviceLinkOpen();
    imageLoadedAtFinish_ = firmware::FirmwareImage.bytes != nullptr;
    changed_.notify_all();
  }
  void Reset() {
    std::lock_guard guard(mutex_);
    statuses_.clear();
    percents_.clear();
    finished_ = false;
    activeAtFinish_ = linkOpenAtFinish_ = imageLoadedAtFinish_ = true;
  }
  void WaitFinished() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return finished_; });
  }
  std::vector<std::string> Statuses() {
    std::lock_guard guard(mutex_);
    return statuses_;
  }
  std::vector<int> Percents() {
    std::lock_guard guard(mutex_);
    return percents_;
  }
  // The statuses without the progress texts.
  std::vector<std::string> Milestones() {
    std::vector<std::string> out;
    for (const std::string& s : Statuses()) {
      if (s.rfind("Programming, ", 0) != 0) out.push_back(s);
    }
    return out;
  }
  bool activeAtFinish_ = true;
  bool linkOpenAtFinish_ = true;
  bool imageLoadedAtFinish_ = true;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> statuses_;
  std::vector<int> percents_;
  bool finished_ = false;
};

class ProgrammingRunTest : public testing::SimFixture {
 protected:
  void TearDown() override {
    JoinProgrammingRun();
    SimFixture::TearDown();
  }

  // Loads an image of `size` bytes that suits the simulated device and opens the link to it.
  std::vector<std::uint8_t> LoadImageAndOpen(std::size_t size) {
    std::vector<std::uint8_t> image = firmware::DemoImage().Size(size).Build();
    const std::string path = dir_.File("image.hex");
    firmware::ImageBuilder().BytesAt(0, image).WriteTo(path);
    EXPECT_NE(firmware::LoadFirmwareFile(path.c_str()), -1);
    EXPECT_EQ(OpenDeviceLink(), kOk);
    return image;
  }

  std::vector<std::vector<std::uint8_t>> DataBlocks() const {
    std::vector<std::vector<std::uint8_t>> blocks;
    for (const auto& r : Device().reports) {
      if (r.command == 0x20) blocks.push_back(r.bytes);
    }
    return blocks;
  }

  std::vector<std::uint8_t> Commands() const {
    std::vector<std::uint8_t> commands;
    for (const auto& r : Device().reports) commands.push_back(r.command);
    return commands;
  }

  void Run() {
    ASSERT_TRUE(StartProgrammingRun(observer_));
    observer_.WaitFinished();
    JoinProgrammingRun();
  }

  testing::ScratchDir dir_;
  RecordingObserver observer_;
};

TEST_F(ProgrammingRunTest, SuccessfulRunBurnsTheImageAndReleasesEverything) {
  MakeWorld("pid=0x8105,restart=10");
  const auto image = LoadImageAndOpen(30000);
  Run();

  EXPECT_EQ(
      observer_.Milestones(),
      (std::vector<std::string>{"Initializing ...", "Burning Flash ...", "Verifying ...",
                                "Restarting device ...", "Programming completed successfully."}));
  const auto statuses = observer_.Statuses();
  EXPECT_EQ(statuses.size(), 5u + 100u) << "one text per whole percentage";
  EXPECT_EQ(statuses[1], "Programming, 1% completed.");
  EXPECT_EQ(statuses[100], "Programming, 100% completed.");
  // The number travels beside each progress text and says the same.
  const auto percents = observer_.Percents();
  ASSERT_EQ(percents.size(), 100u);
  for (std::size_t i = 0; i < percents.size(); ++i)
    EXPECT_EQ(statuses[i + 1], "Programming, " + std::to_string(percents[i]) + "% completed.");
  EXPECT_FALSE(ProgrammingFailed);
  EXPECT_FALSE(observer_.activeAtFinish_);
  EXPECT_FALSE(observer_.linkOpenAtFinish_);
  EXPECT_FALSE(observer_.imageLoadedAtFinish_);
  EXPECT_FALSE(ReplyEvent.Exists());
  EXPECT_EQ(Device().flash, image);

  const auto blocks = DataBlocks();
  ASSERT_EQ(blocks.size(), 536u);
  const auto& last = blocks.back();
  EXPECT_EQ(last[4], 40);    // count
  EXPECT_EQ(last[5], 0x08);  // 29960 = 0x7508
  EXPECT_EQ(last[6], 0x75);
  EXPECT_EQ(last[8 + 39], image[29999]);  // the image's last byte
  EXPECT_EQ(last[8 + 40], blocks[534][8 + 40]) << "bytes past the image were not left alone";
}

TEST_F(ProgrammingRunTest, ImageOfWholeBlocksEndsWithAFullBlock) {
  MakeWorld("pid=0x8105,restart=10");
  LoadImageAndOpen(56 * 20);
  Run();
  EXPECT_EQ(DataBlocks().size(), 20u);
  EXPECT_EQ(DataBlocks().back()[4], 56);
}

struct FailureCase {
  const char* options;
  std::vector<std::string> lastStatuses;
  std::vector<std::uint8_t> commands;  // every command the device received
};

TEST_F(ProgrammingRunTest, EachFailingStepEndsTheRunWithItsTextAndSendsNothingAfter) {
  const FailureCase cases[] = {
      {"nak=enter", {"Initializing ...", "Error entering programming mode."}, {0x10}},
      {"nak=data@0", {"Programming Failed [0000].", "Firmware download failed !"}, {0x10, 0x20}},
      {"silent=data@112",
       {"Programming Failed [0070].", "Firmware download failed !"},
       {0x10, 0x20, 0x20, 0x20}},
      {"nak=burn",
       {"Burning Flash ...", "Flash burn failed !"},
       {0x10, 0x20, 0x20, 0x20, 0x20, 0x30}},
      {"nak=verify",
       {"Verifying ...", "Verify failed !"},
       {0x10, 0x20, 0x20, 0x20, 0x20, 0x30, 0x40}},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.options);
    observer_.Reset();
    MakeWorld(std::string("pid=0x8105,") + c.options);
    ReplyTimeoutMs = 50;
    LoadImageAndOpen(200);
    Run();
    EXPECT_TRUE(ProgrammingFailed);
    EXPECT_FALSE(observer_.activeAtFinish_);
    EXPECT_FALSE(observer_.linkOpenAtFinish_);
    EXPECT_FALSE(observer_.imageLoadedAtFinish_);
    const auto statuses = observer_.Statuses();
    ASSERT_GE(statuses.size(), c.lastStatuses.size());
    EXPECT_EQ(std::vector<std::string>(statuses.end() - c.lastStatuses.size(), statuses.end()),
              c.lastStatuses);
    const auto commands = Commands();
    EXPECT_EQ(commands, c.commands);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), 0x70), 0) << "restart after a failure";
    JoinProgrammingRun();
    firmware::UnloadFirmwareFile();
    ASSERT_TRUE(UsePlatform({}));
  }
}

TEST_F(ProgrammingRunTest, FailureTextShowsTheWholeOffsetBeyond64KiB) {
  MakeWorld("pid=0x8105,nak=data@70000");
  LoadImageAndOpen(70100);
  Run();
  const auto blocks = DataBlocks();
  ASSERT_FALSE(blocks.empty());
  EXPECT_EQ(blocks.back()[5], 0x70);  // 70000 mod 65536 = 0x1170
  EXPECT_EQ(blocks.back()[6], 0x11);
  const auto statuses = observer_.Statuses();
  EXPECT_EQ(statuses[statuses.size() - 2], "Programming Failed [11170].");
}

TEST_F(ProgrammingRunTest, RunWithoutAnOpenLinkFailsOnEnteringProgrammingMode) {
  MakeWorld("pid=0x8105");
  LoadImageAndOpen(100);
  CloseDeviceLink();
  ReplyTimeoutMs = 20;
  Run();
  EXPECT_EQ(observer_.Statuses().back(), "Error entering programming mode.");
  EXPECT_TRUE(ProgrammingFailed);
}

}  // namespace
}  // namespace kavori::device
