#include "wizard/wizard.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/sim_fixture.hpp"
#include "firmware/image_builder.hpp"
#include "platform/file.hpp"
#include "wizard/recording_view.hpp"

namespace kavori::wizard {
namespace {

using Calls = std::vector<std::string>;

const char kWelcome[] =
    "Welcome to the Kavori firmware programming tool.\n\nPlease make sure that no other "
    "application is currently using the Kavori.\n\nTo continue, click 'Next'.";
const char kNotFound[] =
    "Kavori Device was NOT found.\n\nPlease Click 'Back' and follow the prompted "
    "instructions.\n\nTo continue, click 'Back'.";
const char kInUse[] =
    "Kavori Device was NOT found.\n\nPlease Close Any Application that might using "
    "it.\n\nPlease click 'Back' and follow the prompted instructions.\n\nTo continue, "
    "click 'Back'.";
const char kUsbCordOnly[] =
    "Preparing device for programming is done.\n\nPlease disconnect the USB cord.\n Wait 10 "
    "seconds, and then reconnect the USB cord.\nThen follow the 'Found new hardware' wizard "
    "instructions.\nWhen done, click 'Next'.\n(The 'Next' button will be enabled only after "
    "reconnecting the device)";
const char kUsbAndPowerCord[] =
    "Preparing device for programming is done.\n\nPlease disconnect the USB cord and then the "
    "Power cord.\n Wait 10 seconds, and then reconnect the Power cord and then USB cords in this "
    "order.\nThen follow the 'Found new hardware' wizard instructions.\nWhen done, click "
    "'Next'.\n(The 'Next' button will be enabled only after reconnecting the device)";

class WizardTest : public testing::SimFixture {
 protected:
  void SetUp() override {
    SimFixture::SetUp();
    image_ = firmware::DemoImage().Build();
    ASSERT_TRUE(firmware::ImageBuilder().BytesAt(0, image_).WriteTo(dir_.File("kavori.hex")));
  }

  void TearDown() override {
    if (wizard_) wizard_->Teardown();
    poster_.Drain();
    wizard_.reset();
    SimFixture::TearDown();
  }

  Wizard& Begin(const std::string& options, std::string directory = "",
                double pauseScale = testing::kTestPauseScale) {
    wizard_.reset();
    MakeWorld(options, pauseScale);
    wizard_ = std::make_unique<Wizard>(view_, poster_, Link(),
                                       directory.empty() ? dir_.Path() : directory);
    return *wizard_;
  }

  // Runs what the step's entry left going (the firmware search, the pause after prepare) until
  // the page is complete.
  void Settle() {
    ASSERT_TRUE(poster_.PumpUntil([&] { return !wizard_->EntryInProgress(); }))
        << "the step's entry never completed";
  }

  // Starts and walks Next up to the information page.
  void WalkToInformationPage(const std::string& options,
                             double pauseScale = testing::kTestPauseScale) {
    Begin(options, "", pauseScale);
    ASSERT_TRUE(wizard_->Start());
    wizard_->OnNext();
    ASSERT_TRUE(view_.next) << view_.message;
    wizard_->OnNext();
    Settle();
    ASSERT_EQ(view_.status, "Firmware file version and device version check") << view_.message;
  }

  // Whether the last causes handed to the view include one containing `text`.
  bool Diagnosed(const std::string& text) const {
    return std::any_of(
        view_.diagnostics.begin(), view_.diagnostics.end(),
        [&](const platform::Diagnostic& d) { return d.text.find(text) != std::string::npos; });
  }

  bool PumpUntilStep(std::uint8_t step) {
    return poster_.PumpUntil([&] { return wizard_->WizardStep() == step; });
  }

  testing::ScratchDir dir_;
  std::vector<std::uint8_t> image_;
  testing::RecordingView view_;
  testing::QueuePoster poster_;
  std::unique_ptr<Wizard> wizard_;
};

TEST_F(WizardTest, StartRefusesUnlessExactlyOneDeviceIsListed) {
  const struct {
    const char* options;
    const char* box;
  } cases[] = {
      {"devices=0", "No Kavori Device found.\nPlease connect one, and then try again."},
      {"list=unreadable", "No Kavori Device found.\nPlease connect one, and then try again."},
      {"devices=2",
       "More then one Kavori Devices are connected.\nPlease make sure that only the Kavori that "
       "needs a firmware upgrade is connected.\nThen try again."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    Begin(c.options);
    EXPECT_FALSE(wizard_->Start());
    EXPECT_EQ(view_.Take(), Calls{std::string("box ") + c.box});
    EXPECT_FALSE(view_.diagnostics.empty()) << "the refusal came without a cause";
  }
}

TEST_F(WizardTest, StartShowsTheWelcomePage) {
  Begin("");
  ASSERT_TRUE(wizard_->Start());
  EXPECT_EQ(view_.Take(), (Calls{"enter 0", "-finish", "-back", "-next", "status Welcome", "+next",
                                 std::string("message ") + kWelcome}));
  EXPECT_EQ(wizard_->WizardStep(), 0);
  EXPECT_FALSE(wizard_->ProgrammingActive());
}

// The dialog moves the keyboard focus when a page is complete, so every step entry
// completes its page exactly once, after its last button change: at its end, or when the
// firmware search or the pause after prepare is over.
TEST_F(WizardTest, EveryStepEntryCompletesItsPageOnceAfterItsButtons) {
  Begin("pid=0x0005,replug=20,restart=10");
  ASSERT_TRUE(wizard_->Start());
  EXPECT_EQ(view_.pagesComplete, 1);
  EXPECT_FALSE(view_.buttonsSinceComplete);
  wizard_->OnNext();  // device found
  EXPECT_EQ(view_.pagesComplete, 2);
  wizard_->OnNext();  // the firmware search goes on
  EXPECT_EQ(view_.pagesComplete, 2) << "completed before the search's result";
  Settle();
  EXPECT_EQ(view_.pagesComplete, 3);
  EXPECT_FALSE(view_.buttonsSinceComplete);
  wizard_->OnNext();  // the pause after prepare goes on
  EXPECT_EQ(view_.pagesComplete, 3) << "completed before the pause was over";
  Settle();
  EXPECT_EQ(view_.pagesComplete, 4);
  EXPECT_TRUE(view_.finish);
  ASSERT_TRUE(PumpUntilStep(5));  // reconnected: the watcher's advance is a step entry too
  EXPECT_EQ(view_.pagesComplete, 5);
  EXPECT_TRUE(view_.next);
  wizard_->OnNext();  // programming: a page without an enabled button
  EXPECT_EQ(view_.pagesComplete, 6);
  ASSERT_TRUE(PumpUntilStep(7));
  EXPECT_EQ(view_.pagesComplete, 7);
  EXPECT_FALSE(view_.buttonsSinceComplete);
  EXPECT_TRUE(view_.finish);

  // Back out of a search that a new entry replaced: only the new entry completes.
  Begin("");
  ASSERT_TRUE(wizard_->Start());
  wizard_->OnNext();
  wizard_->OnNext();
  wizard_->EnterStep(0);
  const int before = view_.pagesComplete;
  poster_.Drain();
  EXPECT_EQ(view_.pagesComplete, before) << "the replaced search completed a page";
}

TEST_F(WizardTest, NormalModeDeviceIsProgrammedEndToEnd) {
  Begin("pid=0x0005,release=0x0103,product=Kavori Sable,replug=20,restart=10");
  ASSERT_TRUE(wizard_->Start());
  view_.Take();

  wizard_->OnNext();
  EXPECT_EQ(view_.Take(),
            (Calls{"enter 1", "-finish", "-back", "-next", "status Searching a Kavori Device ...",
                   "message Kavori Sable Device was found.\n\nPlease Click 'Next' and follow the "
                   "prompted instructions.\n\nTo continue, click 'Next'.",
                   "status Kavori Sable Device was found.", "+next"}));

  wizard_->OnNext();
  EXPECT_TRUE(wizard_->EntryInProgress()) << "the search ran on the UI thread";
  Settle();
  EXPECT_EQ(
      view_.Take(),
      (Calls{"enter 2", "-finish", "-back", "-next", "status Searching a Kavori firmware file ...",
             "status Firmware file version and device version check",
             "message Kavori firmware information:\n\nFile: kavori.hex\nFile firmware "
             "version: 5.01.16 \nDevice firmware version: 5.01.03\nDevice P/N: "
             "KAVSBL0123\nDevice S/N: 4567-89-0ABCDE\n\nTo continue, Click 'Next'",
             "+finish", "+next"}));
  EXPECT_EQ(wizard_->WizardStep(), 2);

  wizard_->OnNext();
  EXPECT_TRUE(wizard_->EntryInProgress()) << "the pause after prepare ran on the UI thread";
  Settle();
  EXPECT_EQ(
      view_.Take(),
      (Calls{"enter 3", "-finish", "-back", "-next", "message Preparing device for programming",
             "status Preparing device ...", std::string("message ") + kUsbCordOnly,
             "status Preparing device done, waiting for reconnect ...", "+finish"}));
  EXPECT_TRUE(wizard_->WaitingForDevice());

  ASSERT_TRUE(PumpUntilStep(5)) << "the watcher never reported the device back";
  EXPECT_EQ(view_.Take(),
            (Calls{"enter 4", "-finish", "-back", "-next", "beep", "front",
                   "message Kavori device is now reconnected.\n\nTo continue, click 'Next'.",
                   "status Device is reconnected.", "+next"}));
  EXPECT_TRUE(wizard_->WaitingForDevice()) << "only Finish clears the flag";
  EXPECT_TRUE(Link().IsDeviceLinkOpen());

  wizard_->OnNext();
  EXPECT_TRUE(wizard_->ProgrammingActive());
  EXPECT_FALSE(wizard_->OnCancel()) << "the dialog could end during programming";
  ASSERT_TRUE(PumpUntilStep(7));
  const Calls calls = view_.Take();
  ASSERT_GE(calls.size(), 8u);
  EXPECT_EQ(Calls(calls.begin(), calls.begin() + 6),
            (Calls{"enter 6", "-finish", "-back", "-next",
                   "message Firmware programming is now Active.\n\nPlease DO NOT turn the computer "
                   "off and\nDO NOT unplug the Kavori Device during firmware programming process.",
                   "status Initializing ..."}));
  EXPECT_EQ(Calls(calls.end() - 8, calls.end()),
            (Calls{"status Restarting device ...", "status Programming completed successfully.",
                   "enter 7", "-finish", "-back", "-next",
                   "message Programming completed successfully.\n\nTo close and Exit, Click "
                   "'Finish'.",
                   "+finish"}));
  EXPECT_TRUE(view_.finish);
  EXPECT_FALSE(wizard_->ProgrammingFailed());
  EXPECT_EQ(Device().flash, image_);
  EXPECT_EQ(Device().release, firmware::kDemoBcdDevice) << "did not restart with the new release";

  EXPECT_TRUE(wizard_->OnFinish());
  EXPECT_EQ(view_.Take(), Calls{"status Shutting down ..."}) << "a successful run asks nothing";
}

TEST_F(WizardTest, LoaderModeDeviceSkipsPreparationAndNextProgramsAtOnce) {
  WalkToInformationPage("pid=0x8105,restart=10");
  EXPECT_EQ(view_.message,
            "Kavori firmware information:\n\nFile: kavori.hex\nFile firmware version: 5.01.16 "
            "\n\nDevice P/N: KAVSBL0123\nDevice S/N: 4567-89-0ABCDE\n\nTo continue, Click 'Next'");
  EXPECT_EQ(wizard_->WizardStep(), 5);
  wizard_->OnNext();
  EXPECT_EQ(wizard_->WizardStep(), 6);
  ASSERT_TRUE(PumpUntilStep(7));
  EXPECT_EQ(Device().flash, image_);
}

TEST_F(WizardTest, DeviceSearchFailuresOfferBackToTheWelcomePage) {
  Begin("lock=held");
  ASSERT_TRUE(wizard_->Start());
  wizard_->OnNext();
  view_.Take();
  EXPECT_EQ(view_.status, "Kavori Device is in use by other application.");
  EXPECT_EQ(view_.message, kInUse);
  EXPECT_TRUE(view_.back);
  EXPECT_FALSE(view_.next || view_.finish);
  EXPECT_TRUE(Diagnosed("the in-use lock is held by another application"));

  wizard_->OnBack();
  EXPECT_EQ(wizard_->WizardStep(), 0);
  EXPECT_EQ(view_.message, kWelcome);
}

// Another application that holds the node open shows the in-use page.
TEST_F(WizardTest, NodeHeldOpenByAnotherApplicationShowsTheInUsePage) {
  Begin("held-by=4242:softphone");
  ASSERT_TRUE(wizard_->Start());
  wizard_->OnNext();
  EXPECT_EQ(view_.status, "Kavori Device is in use by other application.");
  EXPECT_EQ(view_.message, kInUse);
  EXPECT_TRUE(view_.back);
  EXPECT_FALSE(view_.next || view_.finish);
  EXPECT_TRUE(Diagnosed("held open by another application, process 4242 (softphone)"));
}

TEST_F(WizardTest, DeviceNotFoundKeepsTheSearchingStatus) {
  Begin("pid=0x0006");  // listed by the system, but not a product the tool accepts
  ASSERT_TRUE(wizard_->Start());
  wizard_->OnNext();
  EXPECT_EQ(view_.status, "Searching a Kavori Device ...");
  EXPECT_EQ(view_.message, kNotFound);
  // Beside the page, the front end learns why each interface was passed over.
  EXPECT_TRUE(Diagnosed("vendor 0x046D product 0xC31C is not a Kavori"));
  EXPECT_TRUE(Diagnosed("vendor 0x0BEF product 0x0006 is not a Kavori"));
}

TEST_F(WizardTest, EmptyProductStringStillNamesTheDevice) {
  Begin("product=");
  ASSERT_TRUE(wizard_->Start());
  wizard_->OnNext();
  EXPECT_EQ(view_.status, " Device was found.");
}

TEST_F(WizardTest, FirmwareSearchFailuresShowTheirPageAndButtonsInOrder) {
  const auto wrongMagic = firmware::ImageBuilder().BytesAt(0, {0xAA, 0x08}).Size(64).Build();
  const auto noDescriptor = firmware::ImageBuilder().Magic().Size(200).Build();
  const auto otherTarget = firmware::ImageBuilder()
                               .Magic()
                               .DeviceDescriptorAt(16, 0x0005, 0x0110)
                               .StringDescriptorAt(80, "OTHERX0000009900990000")
                               .Size(300)
                               .Build();
  const struct {
    const char* name;
    std::vector<std::uint8_t> file;  // empty: no file at all
    Calls tail;
  } cases[] = {
      {"no file",
       {},
       {"status Firmware file not found !", "+back",
        "message Kavori Device firmware file was NOT found.\n\nMake sure that a file that ends "
        "with '.hex' exists in this application's folder.\n\nPlease Click 'Back' and follow the "
        "prompted instructions.\n\nTo continue, click 'Back'."}},
      {"invalid",
       wrongMagic,
       {"status Invalid firmware hex file !", "+back",
        "message Invalid firmware hex file.\n\nMake sure that a file that ends with.'hex' is a "
        "valid firmware file.\n\nPlease Click 'Back' and follow the prompted instructions.\n\nTo "
        "continue, click 'Back'.",
        "+finish"}},
      {"type error",
       noDescriptor,
       {"status Firmware file type error !", "+back",
        "message Kavori firmware file is NOT correct.\n\nMake sure that a correct firmware file "
        "exists in this application's folder.\n\nPlease Click 'Back' and follow the prompted "
        "instructions."}},
      {"target error",
       otherTarget,
       {"-back",
        "message The firmware file is not suitable for the target device.\n\n\nPlease click "
        "'Finish'.",
        "status Firmware file target error !", "+finish"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScratchDir dir;
    if (!c.file.empty()) {
      ASSERT_TRUE(firmware::ImageBuilder().BytesAt(0, c.file).WriteTo(dir.File("fw.hex")));
    }
    Begin("", dir.Path());
    ASSERT_TRUE(wizard_->Start());
    wizard_->OnNext();
    view_.Take();
    wizard_->OnNext();
    Settle();
    const Calls calls = view_.Take();
    ASSERT_GE(calls.size(), 5 + c.tail.size());
    EXPECT_EQ(calls[4], "status Searching a Kavori firmware file ...");
    EXPECT_EQ(Calls(calls.begin() + 5, calls.end()), c.tail);
    if (!c.file.empty()) {
      EXPECT_TRUE(platform::ExclusiveFile::Open(dir.File("fw.hex")))
          << "a failed search left the image loaded and locked";
    }
    wizard_->Teardown();
  }
}

TEST_F(WizardTest, NonUsbOnlyProductsAskForThePowerCordToo) {
  WalkToInformationPage("pid=0x000A,replug=never");
  wizard_->OnNext();
  Settle();
  EXPECT_EQ(view_.message, kUsbAndPowerCord);
}

TEST_F(WizardTest, FailedPrepareWriteKeepsItsErrorAndStartsNoWatcher) {
  WalkToInformationPage("");
  world_->Unplug(0);
  view_.Take();
  wizard_->OnNext();
  EXPECT_EQ(view_.Take(),
            (Calls{"enter 3", "-finish", "-back", "-next",
                   "message Preparing device for programming", "status Preparing device ...",
                   "message Error preparing device for programming.\n\nPlease contact Brimsel "
                   "support and provide the following information:\n0x62 command failed.",
                   "+finish"}));
  EXPECT_FALSE(wizard_->EntryInProgress());
  EXPECT_FALSE(wizard_->WaitingForDevice());
  EXPECT_FALSE(Link().IsDeviceLinkOpen());
}

TEST_F(WizardTest, FinishWhileWaitingForReconnectStopsTheWatcher) {
  WalkToInformationPage("replug-into=normal,replug=10");
  wizard_->OnNext();
  Settle();
  view_.Take();
  view_.answer = false;
  EXPECT_FALSE(wizard_->OnFinish());
  EXPECT_EQ(view_.Take(), Calls{"ask Close and exit ?"});
  EXPECT_TRUE(wizard_->WaitingForDevice()) << "No changed the state";

  view_.answer = true;
  EXPECT_TRUE(wizard_->OnFinish());
  EXPECT_EQ(view_.Take(), (Calls{"ask Close and exit ?", "status Shutting down ..."}));
  EXPECT_FALSE(wizard_->WaitingForDevice());
  wizard_->Teardown();
  poster_.Drain();
  EXPECT_TRUE(view_.Take().empty());
  EXPECT_FALSE(world_->LockHeld());
}

// The cancel path (Escape, close box) while the device is already back: the watcher's advance
// must never reach the closed wizard and the link must end closed.
TEST_F(WizardTest, TeardownDuringTheSettlePauseDropsTheWatchersAdvance) {
  WalkToInformationPage("pid=0x8105", 0.2);  // a 500 ms settle pause to tear down in
  // A loader-mode device is already back: enter the preparation step directly, and tear down
  // once the watcher has found it.
  const unsigned opensBefore = Device().opens;
  wizard_->EnterStep(3);
  ASSERT_TRUE(poster_.PumpUntil([&] { return Device().opens >= opensBefore + 2; }))
      << "the watcher never found the device";
  EXPECT_TRUE(wizard_->OnCancel());
  wizard_->Teardown();
  poster_.Drain();
  const Calls calls = view_.Take();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "enter 4"), 0);
  EXPECT_FALSE(Link().IsDeviceLinkOpen());
  EXPECT_FALSE(world_->LockHeld());
}

TEST_F(WizardTest, FailedRunEndsOnTheErrorPageAndFinishAsks) {
  WalkToInformationPage("pid=0x8105,nak=verify");
  wizard_->OnNext();
  ASSERT_TRUE(PumpUntilStep(7));
  EXPECT_EQ(view_.message,
            "Error programming device.\n\nPlease contact Brimsel support and provide the "
            "information listed below.");
  EXPECT_EQ(view_.status, "Verify failed !");
  EXPECT_TRUE(view_.statusFailed) << "the failure text must travel with the red colour";
  EXPECT_EQ(view_.lastPercent, 100);
  EXPECT_TRUE(wizard_->ProgrammingFailed());
  view_.Take();
  EXPECT_TRUE(wizard_->OnFinish());
  EXPECT_EQ(view_.Take().front(), "ask Close and exit ?");
}

// A cancel while the firmware search or the pause after prepare goes on acts at once: the
// result never reaches the page and nothing more is sent to the device.
TEST_F(WizardTest, TeardownDuringAnEntryInProgressDropsItsContinuation) {
  testing::ScratchDir crowded;
  for (int k = 0; k < 200; ++k)
    ASSERT_TRUE(firmware::ImageBuilder().Magic().Size(64).WriteTo(
        crowded.File("a" + std::to_string(1000 + k) + ".hex")));
  ASSERT_TRUE(firmware::ImageBuilder().BytesAt(0, image_).WriteTo(crowded.File("z.hex")));
  const struct {
    const char* name;
    unsigned step;  // entered with Next from the step before
  } cases[] = {{"firmware search", 2}, {"pause after prepare", 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Real pauses: the search takes 200 ms at least, the pause 1.5 s.
    Begin("", crowded.Path(), 1.0);
    ASSERT_TRUE(wizard_->Start());
    wizard_->OnNext();
    if (c.step == 3) {
      wizard_->OnNext();
      Settle();
    }
    const std::size_t reportsBefore = Device().reports.size();
    view_.Take();
    wizard_->OnNext();
    ASSERT_TRUE(wizard_->EntryInProgress());
    EXPECT_FALSE(view_.next || view_.back || view_.finish) << "a button was enabled meanwhile";
    EXPECT_TRUE(wizard_->OnCancel());
    wizard_->Teardown();
    poster_.PumpUntil([] { return false; }, std::chrono::milliseconds(50));
    // The prologue and the first texts; nothing of what the entry would have shown after.
    EXPECT_EQ(view_.Take().size(), c.step == 3 ? 6u : 5u) << "the entry went on after it";
    const std::size_t sentAfter = Device().reports.size() - reportsBefore;
    EXPECT_EQ(sentAfter, c.step == 3 ? 1u : 0u) << "only the prepare command may be sent";
    EXPECT_FALSE(world_->LockHeld());
    EXPECT_TRUE(platform::ExclusiveFile::Open(crowded.File("z.hex"))) << "the image stayed locked";
  }
}

TEST_F(WizardTest, StepsAbove7OnlyDisableTheButtons) {
  Begin("");
  for (unsigned step : {5u, 8u, 200u, 0x105u}) {
    SCOPED_TRACE(step);
    wizard_->EnterStep(step);
    EXPECT_EQ(view_.Take(), (Calls{"enter " + std::to_string(step), "-finish", "-back", "-next"}));
  }
}

}  // namespace
}  // namespace kavori::wizard
