#include "device/programming_run.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "device/device_link.hpp"
#include "device/results.hpp"
#include "device/sim_fixture.hpp"
#include "firmware/firmware_image.hpp"
#include "firmware/image_builder.hpp"
#include "platform/file.hpp"

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

// A status line as the run reports it.
struct Status {
  std::string text;
  bool failed = false;
  bool operator==(const Status&) const = default;
};

void PrintTo(const Status& status, std::ostream* out) {
  *out << '"' << status.text << '"' << (status.failed ? " failed" : "");
}

// Records what the run reports and lets the test wait for its end. At the end it looks at what
// the run must have released by then.
class RecordingObserver : public RunObserver {
 public:
  RecordingObserver(const ProgrammingRun& run, const DeviceLink& link, std::string imagePath)
      : run_(run), link_(link), imagePath_(std::move(imagePath)) {}

  void RunStatus(const std::string& text, bool failed) override {
    std::lock_guard guard(mutex_);
    statuses_.push_back({text, failed});
  }
  void RunProgress(int percent, const std::string& text, bool failed) override {
    std::lock_guard guard(mutex_);
    statuses_.push_back({text, failed});
    percents_.push_back(percent);
  }
  void RunFinished() override {
    std::lock_guard guard(mutex_);
    finished_ = true;
    activeAtFinish_ = run_.ProgrammingActive();
    linkOpenAtFinish_ = link_.IsDeviceLinkOpen();
    // The image holds its file locked while it lives.
    imageReleasedAtFinish_ = platform::ExclusiveFile::Open(imagePath_).has_value();
    changed_.notify_all();
  }
  void WaitFinished() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return finished_; });
  }
  std::vector<Status> Statuses() {
    std::lock_guard guard(mutex_);
    return statuses_;
  }
  std::vector<int> Percents() {
    std::lock_guard guard(mutex_);
    return percents_;
  }
  // The status texts without the progress texts.
  std::vector<std::string> Milestones() {
    std::vector<std::string> out;
    for (const Status& s : Statuses()) {
      if (s.text.rfind("Programming, ", 0) != 0) out.push_back(s.text);
    }
    return out;
  }
  bool activeAtFinish_ = true;
  bool linkOpenAtFinish_ = true;
  bool imageReleasedAtFinish_ = false;

 private:
  const ProgrammingRun& run_;
  const DeviceLink& link_;
  const std::string imagePath_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Status> statuses_;
  std::vector<int> percents_;
  bool finished_ = false;
};

class ProgrammingRunTest : public testing::SimFixture {
 protected:
  void TearDown() override {
    observer_.reset();
    run_.reset();
    SimFixture::TearDown();
  }

  // A world, a run on its link, an image of `size` bytes that suits the simulated device, and the
  // link opened.
  std::vector<std::uint8_t> Prepare(const std::string& options, std::size_t size) {
    observer_.reset();
    run_.reset();
    MakeWorld(options);
    run_ = std::make_unique<ProgrammingRun>(Link());
    observer_ = std::make_unique<RecordingObserver>(*run_, Link(), dir_.File("image.hex"));
    std::vector<std::uint8_t> image = firmware::DemoImage().Size(size).Build();
    EXPECT_TRUE(firmware::ImageBuilder().BytesAt(0, image).WriteTo(dir_.File("image.hex")));
    EXPECT_EQ(Link().OpenDeviceLink(), kOk);
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

  // One run with the image file, to its end.
  void Run() {
    auto image = firmware::LoadFirmwareFile(dir_.File("image.hex"));
    ASSERT_TRUE(image.has_value()) << image.error().Text();
    ASSERT_TRUE(run_->StartProgrammingRun(*observer_, std::move(image).value()));
    observer_->WaitFinished();
    run_->JoinProgrammingRun();
  }

  testing::ScratchDir dir_;
  std::unique_ptr<ProgrammingRun> run_;
  std::unique_ptr<RecordingObserver> observer_;
};

TEST_F(ProgrammingRunTest, SuccessfulRunBurnsTheImageAndReleasesEverything) {
  const auto image = Prepare("pid=0x8105,restart=10", 30000);
  Run();

  EXPECT_EQ(
      observer_->Milestones(),
      (std::vector<std::string>{"Initializing ...", "Burning Flash ...", "Verifying ...",
                                "Restarting device ...", "Programming completed successfully."}));
  const auto statuses = observer_->Statuses();
  EXPECT_EQ(statuses.size(), 5u + 100u) << "one text per whole percentage";
  EXPECT_EQ(statuses[1].text, "Programming, 1% completed.");
  EXPECT_EQ(statuses[100].text, "Programming, 100% completed.");
  EXPECT_TRUE(std::none_of(statuses.begin(), statuses.end(), [](const Status& s) {
    return s.failed;
  })) << "a status of a good run was shown as failed";
  // The number travels beside each progress text and says the same.
  const auto percents = observer_->Percents();
  ASSERT_EQ(percents.size(), 100u);
  for (std::size_t i = 0; i < percents.size(); ++i)
    EXPECT_EQ(statuses[i + 1].text, "Programming, " + std::to_string(percents[i]) + "% completed.");
  EXPECT_FALSE(run_->ProgrammingFailed());
  EXPECT_FALSE(run_->ProgrammingActive());
  EXPECT_FALSE(observer_->activeAtFinish_);
  EXPECT_FALSE(observer_->linkOpenAtFinish_);
  EXPECT_TRUE(observer_->imageReleasedAtFinish_);
  EXPECT_FALSE(Link().Replies().Exists());
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
  Prepare("pid=0x8105,restart=10", 56 * 20);
  Run();
  EXPECT_EQ(DataBlocks().size(), 20u);
  EXPECT_EQ(DataBlocks().back()[4], 56);
}

struct FailureCase {
  const char* options;
  // The last statuses; from the first failure on each says so, to colour the line.
  std::vector<Status> lastStatuses;
  std::vector<std::uint8_t> commands;  // every command the device received
};

TEST_F(ProgrammingRunTest, EachFailingStepEndsTheRunWithItsTextAndSendsNothingAfter) {
  const FailureCase cases[] = {
      {"nak=enter",
       {{"Initializing ...", false}, {"Error entering programming mode.", true}},
       {0x10}},
      {"nak=data@0",
       {{"Programming Failed [0000].", true}, {"Firmware download failed !", true}},
       {0x10, 0x20}},
      {"silent=data@112",
       {{"Programming Failed [0070].", true}, {"Firmware download failed !", true}},
       {0x10, 0x20, 0x20, 0x20}},
      {"nak=burn",
       {{"Burning Flash ...", false}, {"Flash burn failed !", true}},
       {0x10, 0x20, 0x20, 0x20, 0x20, 0x30}},
      {"nak=verify",
       {{"Verifying ...", false}, {"Verify failed !", true}},
       {0x10, 0x20, 0x20, 0x20, 0x20, 0x30, 0x40}},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.options);
    Prepare(std::string("pid=0x8105,") + c.options, 200);
    Link().SetReplyTimeoutMs(50);
    Run();
    EXPECT_TRUE(run_->ProgrammingFailed());
    EXPECT_FALSE(observer_->activeAtFinish_);
    EXPECT_FALSE(observer_->linkOpenAtFinish_);
    EXPECT_TRUE(observer_->imageReleasedAtFinish_);
    EXPECT_FALSE(Link().Replies().Exists());
    const auto statuses = observer_->Statuses();
    ASSERT_GE(statuses.size(), c.lastStatuses.size());
    EXPECT_EQ(std::vector<Status>(statuses.end() - c.lastStatuses.size(), statuses.end()),
              c.lastStatuses);
    const auto commands = Commands();
    EXPECT_EQ(commands, c.commands);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), 0x70), 0) << "restart after a failure";
  }
}

TEST_F(ProgrammingRunTest, FailureTextShowsTheWholeOffsetBeyond64KiB) {
  Prepare("pid=0x8105,nak=data@70000", 70100);
  Run();
  const auto blocks = DataBlocks();
  ASSERT_FALSE(blocks.empty());
  EXPECT_EQ(blocks.back()[5], 0x70);  // 70000 mod 65536 = 0x1170
  EXPECT_EQ(blocks.back()[6], 0x11);
  const auto statuses = observer_->Statuses();
  EXPECT_EQ(statuses[statuses.size() - 2].text, "Programming Failed [11170].");
}

// A failed run leaves its flag for the wizard to show; the next run starts with it cleared.
TEST_F(ProgrammingRunTest, RunWithoutAnOpenLinkFailsAndTheNextRunStartsClean) {
  Prepare("pid=0x8105,restart=10", 100);
  Link().CloseDeviceLink();
  Link().SetReplyTimeoutMs(20);
  Run();
  EXPECT_EQ(observer_->Statuses().back(), (Status{"Error entering programming mode.", true}));
  EXPECT_TRUE(run_->ProgrammingFailed());

  observer_ = std::make_unique<RecordingObserver>(*run_, Link(), dir_.File("image.hex"));
  ASSERT_EQ(Link().OpenDeviceLink(), kOk);
  Link().SetReplyTimeoutMs(testing::kTestReplyTimeoutMs);
  Run();
  EXPECT_FALSE(run_->ProgrammingFailed());
  const auto statuses = observer_->Statuses();
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.back(), (Status{"Programming completed successfully.", false}));
  EXPECT_TRUE(std::none_of(statuses.begin(), statuses.end(), [](const Status& s) {
    return s.failed;
  })) << "the earlier failure coloured the new run";
}

}  // namespace
}  // namespace kavori::device
