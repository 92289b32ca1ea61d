// Hundreds of programming runs in one process, through the real wizard, device and firmware code
// against the simulated Kavori: memory, file descriptors and threads must come back to where they
// were after a warm-up. A leak per run (an image, a link, a run, watcher or search thread, a
// handle) adds up here where a single run's test cannot see it; LeakSanitizer sees the rest at
// exit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "device/sim_fixture.hpp"
#include "firmware/image_builder.hpp"
#include "wizard/recording_view.hpp"
#include "wizard/wizard.hpp"

namespace kavori::wizard {
namespace {

constexpr int kRuns = 500;
constexpr int kWarmUpRuns = 20;
// The product's fixed pauses shrink a thousandfold: hundreds of runs, each with its pauses.
constexpr double kSoakPauseScale = 0.001;
// Allocator and page-cache noise; a leaked 16 KiB image per run alone would add 7.5 MiB.
constexpr long kRssGrowthLimitKiB = 4 * 1024;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers hold freed memory back (quarantine, shadow), so resident memory says nothing
// there; LeakSanitizer checks the heap instead.
constexpr bool kResidentMemoryMeaningful = false;
#else
constexpr bool kResidentMemoryMeaningful = true;
#endif

struct Usage {
  long rssKiB = 0;
  long fds = 0;
  long threads = 0;
};

long Entries(const char* directory) {
  return static_cast<long>(std::distance(std::filesystem::directory_iterator(directory),
                                         std::filesystem::directory_iterator()));
}

Usage Measure() {
  Usage usage;
  long pages = 0;
  long resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  usage.rssKiB = resident * (::sysconf(_SC_PAGESIZE) / 1024);
  usage.fds = Entries("/proc/self/fd");
  usage.threads = Entries("/proc/self/task");
  return usage;
}

// A run's device and how it must end. The faults keep the failure paths in the mix.
struct Variant {
  const char* options;
  bool succeeds;
  std::uint16_t replyTimeoutMs;  // short only where a reply is waited out
};

const Variant kVariants[] = {
    {"pid=0x8105,restart=0", true, 2000},
    {"replug=0,restart=0", true, 2000},  // normal mode: prepare, reconnect watcher, replug
    {"pid=0x8105,nak=data@112", false, 2000},
    {"pid=0x8105,silent=burn", false, 20},
    {"pid=0x8105,unplug=verify", false, 20},
};

class SoakTest : public testing::SimFixture {
 protected:
  void SetUp() override {
    SimFixture::SetUp();
    image_ = firmware::DemoImage().Size(16 * 1024).Build();
    ASSERT_TRUE(firmware::ImageBuilder().BytesAt(0, image_).WriteTo(dir_.File("kavori.hex")));
  }

  void TearDown() override {
    if (wizard_) wizard_->Teardown();
    poster_.Drain();
    wizard_.reset();
    SimFixture::TearDown();
  }

  // One whole run from Start to Finish and teardown, as the front ends drive it, each on a link
  // of its own.
  void Run(const Variant& variant) {
    MakeWorld(variant.options, kSoakPauseScale);
    Link().SetReplyTimeoutMs(variant.replyTimeoutMs);
    wizard_ = std::make_unique<Wizard>(view_, poster_, Link(), dir_.Path());
    ASSERT_TRUE(wizard_->Start());
    wizard_->OnNext();
    wizard_->OnNext();
    ASSERT_TRUE(poster_.PumpUntil([&] { return !wizard_->EntryInProgress(); }))
        << "the firmware search never ended";
    ASSERT_TRUE(view_.next) << view_.message;
    wizard_->OnNext();
    if (wizard_->WizardStep() == static_cast<std::uint8_t>(Step::Preparing)) {
      ASSERT_TRUE(PumpUntilStep(Step::AwaitingProgramming)) << "the device did not come back";
      wizard_->OnNext();
    }
    ASSERT_TRUE(PumpUntilStep(Step::Finished)) << view_.status;
    EXPECT_EQ(wizard_->ProgrammingFailed(), !variant.succeeds) << view_.status;
    if (variant.succeeds) {
      EXPECT_EQ(Device().flash, image_);
    }
    EXPECT_TRUE(wizard_->OnFinish());
    wizard_->Teardown();
    poster_.Drain();
    wizard_.reset();
    view_.Take();
  }

  bool PumpUntilStep(Step step) {
    return poster_.PumpUntil(
        [&] { return wizard_->WizardStep() == static_cast<std::uint8_t>(step); });
  }

  testing::ScratchDir dir_;
  std::vector<std::uint8_t> image_;
  testing::RecordingView view_;
  testing::QueuePoster poster_;
  std::unique_ptr<Wizard> wizard_;
};

TEST_F(SoakTest, ResourcesStayFlatOverManyRuns) {
  const auto start = std::chrono::steady_clock::now();
  int run = 0;
  for (; run < kWarmUpRuns; ++run) {
    ASSERT_NO_FATAL_FAILURE(Run(kVariants[run % std::size(kVariants)])) << "run " << run;
  }
  const Usage before = Measure();
  for (; run < kRuns; ++run) {
    ASSERT_NO_FATAL_FAILURE(Run(kVariants[run % std::size(kVariants)])) << "run " << run;
  }
  // A joined thread can linger in the task list for a moment after its join returned.
  Usage after = Measure();
  testing::Eventually([&] {
    after = Measure();
    return after.threads <= before.threads;
  });
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  std::printf(
      "%d runs in %.1f s; after %d runs -> after %d: RSS %ld -> %ld KiB, fds %ld -> %ld, "
      "threads %ld -> %ld\n",
      kRuns, seconds, kWarmUpRuns, kRuns, before.rssKiB, after.rssKiB, before.fds, after.fds,
      before.threads, after.threads);
  EXPECT_EQ(after.fds, before.fds) << "file descriptors leaked";
  EXPECT_EQ(after.threads, before.threads) << "threads left running";
  if (kResidentMemoryMeaningful) {
    EXPECT_LT(after.rssKiB - before.rssKiB, kRssGrowthLimitKiB) << "resident memory grew";
  }
}

}  // namespace
}  // namespace kavori::wizard
