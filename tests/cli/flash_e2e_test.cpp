// The built kavori-flash with --simulate --json: the main paths, refusals, signals and usage.
#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <algorithm>
#include <vector>

#include "cli/flash_harness.hpp"
#include "firmware/image_builder.hpp"

namespace {

using kavori::testing::FlashRun;
using kavori::testing::kRunLimitMs;

const QString kDemoFile = QStringLiteral("kavori-demo.hex");
constexpr int kDemoRelease = kavori::firmware::kDemoBcdDevice;

QString DemoSha256() { return kavori::testing::Sha256(kavori::firmware::DemoImage().Build()); }

class FlashE2e : public kavori::testing::FlashHarness {
 protected:
  void SetUp() override {
    FlashHarness::SetUp();
    ASSERT_TRUE(
        kavori::firmware::DemoImage().WriteTo(firmwareDir.filePath(kDemoFile).toStdString()));
  }
};

TEST_F(FlashE2e, ProgramsANormalModeDeviceThroughTheReplug) {
  const FlashRun run = Run({"--simulate=replug=50", "--yes"});
  ASSERT_EQ(run.exitCode, 0) << run.stdErr.toStdString();
  EXPECT_EQ(run.EnteredSteps(), (std::vector<int>{0, 1, 2, 3, 4, 6, 7}));
  EXPECT_EQ(run.Presses(), (std::vector<QString>{"next", "next", "next", "next", "finish"}));
  EXPECT_TRUE(run.HasStatus("Programming, 100% completed."));
  EXPECT_EQ(run.Texts("status").back(), "Shutting down ...");
  EXPECT_EQ(run.Texts("message").back(),
            "Programming completed successfully.\n\nTo close and Exit, Click 'Finish'.");
  EXPECT_TRUE(run.Texts("question").empty()) << "a successful run ends without the question";
  const QJsonObject device = run.Device();
  EXPECT_EQ(device["present"].toBool(), true);
  EXPECT_EQ(device["mode"].toString(), "normal");
  EXPECT_EQ(device["release"].toInt(), kDemoRelease);
  EXPECT_EQ(device["flash_sha256"].toString(), DemoSha256());
}

TEST_F(FlashE2e, LoaderModeDeviceSkipsThePreparation) {
  const FlashRun run = Run({"--simulate=pid=0x8105", "--yes"});
  ASSERT_EQ(run.exitCode, 0) << run.stdErr.toStdString();
  EXPECT_EQ(run.EnteredSteps(), (std::vector<int>{0, 1, 2, 6, 7}));
  EXPECT_FALSE(run.HasStatus("Preparing device ..."));
  const QJsonObject device = run.Device();
  EXPECT_EQ(device["mode"].toString(), "normal");
  EXPECT_EQ(device["release"].toInt(), kDemoRelease);
  EXPECT_EQ(device["flash_sha256"].toString(), DemoSha256());
}

TEST_F(FlashE2e, RefusedDataBlockFailsTheRun) {
  const FlashRun run = Run({"--simulate=replug=50,nak=data@56", "--yes"});
  EXPECT_EQ(run.exitCode, 1);
  const std::vector<QString> statuses = run.Texts("status");
  const auto failed = std::find(statuses.begin(), statuses.end(), "Programming Failed [0038].");
  ASSERT_NE(failed, statuses.end());
  ASSERT_NE(failed + 1, statuses.end());
  EXPECT_EQ(*(failed + 1), "Firmware download failed !");
  EXPECT_EQ(run.Texts("message").back(),
            "Error programming device.\n\nPlease contact Brimsel support and provide the "
            "information listed below.");
  EXPECT_EQ(run.Texts("question"), (std::vector<QString>{"Close and exit ?"}));
  EXPECT_NE(run.Device()["flash_sha256"].toString(), DemoSha256());
}

TEST_F(FlashE2e, SilentDeviceTimesOutWithTheShortReplyTimeout) {
  const FlashRun run =
      Run({"--simulate=pid=0x8105,silent=burn", "--yes", "--reply-timeout-ms", "200"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(run.HasStatus("Flash burn failed !"));
  EXPECT_EQ(run.Device()["mode"].toString(), "loader");
}

TEST_F(FlashE2e, TwoDevicesAreRefusedAtStart) {
  const FlashRun run = Run({"--simulate=devices=2", "--yes"});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.Texts("box"),
            (std::vector<QString>{
                "More then one Kavori Devices are connected.\nPlease make sure that only the "
                "Kavori that needs a firmware upgrade is connected.\nThen try again."}));
  EXPECT_TRUE(run.EnteredSteps().empty());
}

TEST_F(FlashE2e, DeviceInUseEndsOnTheSearchPage) {
  const FlashRun run = Run({"--simulate=lock=held", "--yes"});
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_EQ(run.Texts("status").back(), "Kavori Device is in use by other application.");
  EXPECT_EQ(run.Presses().back(), "cancel");
  EXPECT_EQ(run.Texts("diagnostic"),
            std::vector<QString>{"the in-use lock is held by another application of the device"});
}

// Another application (a softphone, say) holding the node open makes the device in use.
TEST_F(FlashE2e, NodeHeldOpenByAnotherApplicationEndsOnTheSearchPage) {
  const FlashRun run = Run({"--simulate=held-by=4242:softphone", "--yes"});
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_EQ(run.Texts("status").back(), "Kavori Device is in use by other application.");
  // After the foreign interface that the search passed over.
  const std::vector<QString> diagnostics = run.Texts("diagnostic");
  ASSERT_EQ(diagnostics.size(), 2u);
  EXPECT_TRUE(
      diagnostics[1].endsWith("is held open by another application, process 4242 (softphone)"))
      << diagnostics[1].toStdString();
  EXPECT_EQ(run.Device()["mode"].toString(), "normal");
}

TEST_F(FlashE2e, NoFirmwareFileEndsOnTheFirmwarePage) {
  QTemporaryDir empty;
  const FlashRun run = Run({"--simulate", "--yes"}, empty.path());
  EXPECT_EQ(run.exitCode, 4);
  EXPECT_EQ(run.Texts("status").back(), "Firmware file not found !");
}

// A named image gets every check a found one gets, and the folder it lies in is not searched:
// the suitable kavori-demo.hex beside an unsuitable named file is not taken.
TEST_F(FlashE2e, ANamedImageIsJudgedLikeAFoundOne) {
  QTemporaryDir elsewhere;
  ASSERT_TRUE(kavori::firmware::DemoImage().WriteTo(elsewhere.filePath("image.bin").toStdString()));
  ASSERT_TRUE(kavori::firmware::ImageBuilder()
                  .BytesAt(0, {0x07, 0xAA})
                  .Size(64)
                  .WriteTo(firmwareDir.filePath("broken.hex").toStdString()));
  ASSERT_TRUE(kavori::firmware::ImageBuilder()
                  .Magic()
                  .DeviceDescriptorAt(16, 0x0005, 0x0110)
                  .StringDescriptorAt(96, "KAVSBX0000009900990000")
                  .Size(400)
                  .WriteTo(firmwareDir.filePath("other.hex").toStdString()));
  const struct {
    QString file;
    int exitCode;
    QString status;
  } cases[] = {
      {elsewhere.filePath("image.bin"), 0, "Firmware file version and device version check"},
      {firmwareDir.filePath("broken.hex"), 4, "Invalid firmware hex file !"},
      {firmwareDir.filePath("other.hex"), 4, "Firmware file target error !"},
      {firmwareDir.filePath("missing.hex"), 4, "Invalid firmware hex file !"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file.toStdString());
    StartBare({"--simulate", "--dry-run", "--yes", c.file});
    const FlashRun run = Finish();
    EXPECT_EQ(run.exitCode, c.exitCode) << run.stdErr.toStdString();
    EXPECT_EQ(run.EnteredSteps(), (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(run.HasStatus(c.status));
    EXPECT_EQ(run.Device()["release"].toInt(), 0x0103);
  }
}

// --yes programs no image that is not newer than the device's firmware: nothing is sent.
TEST_F(FlashE2e, YesRefusesTheSameOrAnOlderImage) {
  for (const char* release : {"0x0110", "0x0200"}) {
    SCOPED_TRACE(release);
    const FlashRun run = Run({QStringLiteral("--simulate=release=%1").arg(release), "--yes"});
    EXPECT_EQ(run.exitCode, 7);
    EXPECT_EQ(run.EnteredSteps(), (std::vector<int>{0, 1, 2}));
    EXPECT_TRUE(run.stdErr.contains("the image has firmware version 5.01.16, the device"))
        << run.stdErr.toStdString();
    EXPECT_EQ(run.Device()["release"].toInt(), QString(release).toInt(nullptr, 16));
    EXPECT_NE(run.Device()["flash_sha256"].toString(), DemoSha256());
  }
}

// The schema check of every run above is only as good as its refusals.
TEST(EventSchema, RefusesWhatBreaksTheStream) {
  const kavori::testing::JsonSchema& schema = kavori::testing::EventSchema();
  EXPECT_EQ(schema.Check(QJsonObject{{"event", "exit"}, {"code", 0}, {"t", 0.5}}), "");
  const QJsonObject broken[] = {
      {{"event", "exit"}, {"code", 0}},
      {{"event", "exit"}, {"code", 0}, {"t", "0.5"}},
      {{"event", "launch"}, {"t", 0.5}},
      {{"event", "progress"}, {"percent", 101}, {"bytes", 1}, {"total_bytes", 1}, {"t", 1}},
      {{"event", "progress"}, {"percent", "57"}, {"bytes", 1}, {"total_bytes", 1}, {"t", 1}},
      {{"event", "status"}, {"text", "Welcome"}, {"colour", "red"}, {"t", 1}},
      {{"event", "start"}, {"schema", 2}, {"version", "1"}, {"argv", QJsonArray{}}, {"t", 0}},
      {{"event", "result"},
       {"serial", ""},
       {"result", "maybe"},
       {"exit_code", 0},
       {"step", QJsonValue()},
       {"status", ""},
       {"seconds", 1},
       {"t", 1}},
  };
  for (const QJsonObject& event : broken)
    EXPECT_NE(schema.Check(event), "") << QJsonDocument(event).toJson().toStdString();
}

// --wait ends when the device is seen back in its loader: the watcher's settle after that is
// not counted, so one second is enough for a device back within it.
TEST_F(FlashE2e, WaitCountsOnlyUntilTheDeviceIsBackInItsLoader) {
  const FlashRun run = Run({"--simulate=replug=200", "--yes", "--wait", "1"});
  EXPECT_EQ(run.exitCode, 0) << run.stdErr.toStdString();
  EXPECT_EQ(run.Device()["flash_sha256"].toString(), DemoSha256());
}

// --wait-for-device waits for a Kavori that is plugged in late, and ends as before when none
// comes.
TEST_F(FlashE2e, WaitsForTheFirstDevice) {
  const struct {
    QString simulate;
    int exitCode;
  } cases[] = {
      {"--simulate=arrive=700", 0},
      {"--simulate=devices=0", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.simulate.toStdString());
    const FlashRun run = Run({c.simulate, "--wait-for-device", "2", "--dry-run", "--yes"});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.stdErr.toStdString();
  }
}

// --repeat: each device of a bench series is programmed in turn, each gets its result, and the
// summary counts them.
TEST_F(FlashE2e, RepeatProgramsOneDeviceAfterAnother) {
  const FlashRun run =
      Run({"--simulate=pid=0x8105,series=2,restart=100", "--yes", "--repeat", "2"});
  ASSERT_EQ(run.exitCode, 0) << run.stdErr.toStdString();
  std::vector<QString> serials;
  QJsonObject summary;
  for (const QJsonObject& event : run.events) {
    if (event["event"] == "result") {
      EXPECT_EQ(event["result"].toString(), "ok");
      serials.push_back(event["serial"].toString());
    }
    if (event["event"] == "summary") summary = event;
  }
  EXPECT_EQ(serials, (std::vector<QString>{"KAVSBL01234567890ABCDE", "KAVSBL01234567890ABC01"}));
  EXPECT_EQ(summary["programmed"].toInt(), 2);
  EXPECT_EQ(summary["failed"].toInt(), 0);
}

// --log keeps one line per device, and the history gets the same line.
TEST_F(FlashE2e, LogAndHistoryKeepTheDevicesLine) {
  const QString log = stateDir.filePath("bench.jsonl");
  const FlashRun run = Run({"--simulate=pid=0x8105", "--yes", "--log", log});
  ASSERT_EQ(run.exitCode, 0) << run.stdErr.toStdString();
  QFile file(log);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray line = file.readAll();
  const QJsonObject record = QJsonDocument::fromJson(line).object();
  EXPECT_EQ(record["result"].toString(), "ok");
  EXPECT_EQ(record["image"].toObject()["sha256"].toString(), DemoSha256());
  EXPECT_EQ(record["device_before"].toObject()["mode"].toString(), "loader");
  EXPECT_FALSE(record["steps"].toArray().isEmpty());
  QFile history(stateDir.filePath("kavori/history.jsonl"));
  ASSERT_TRUE(history.open(QIODevice::ReadOnly));
  EXPECT_EQ(history.readAll(), line);
}

TEST_F(FlashE2e, WithoutTerminalOrYesNothingIsChanged) {
  const FlashRun run = Run({"--simulate"});
  EXPECT_EQ(run.exitCode, 6);
  EXPECT_EQ(run.EnteredSteps(), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(run.Presses().back(), "cancel");
  EXPECT_EQ(run.Device()["release"].toInt(), 0x0103);
  EXPECT_EQ(run.Device()["mode"].toString(), "normal");
}

TEST_F(FlashE2e, DryRunStopsAtTheInformationPage) {
  const FlashRun run = Run({"--simulate", "--dry-run", "--yes"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.EnteredSteps(), (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(
      run.Texts("message").back().startsWith("Kavori firmware information:\n\nFile: " + kDemoFile));
  EXPECT_EQ(run.Device()["release"].toInt(), 0x0103);
}

TEST_F(FlashE2e, DeviceThatNeverComesBackEndsAfterTheWait) {
  const FlashRun run = Run({"--simulate=replug=never", "--yes", "--wait", "1"});
  EXPECT_EQ(run.exitCode, 5);
  EXPECT_EQ(run.EnteredSteps(), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(run.Presses().back(), "finish");
  EXPECT_EQ(run.Texts("question"), (std::vector<QString>{"Close and exit ?"}));
}

// Ctrl-C, Ctrl-\ (SIGQUIT), SIGTERM and the terminal's hang-up all take the cancel path; none
// kills the tool (SIGQUIT would otherwise end a run with a core dump).
TEST_F(FlashE2e, TerminationWhileWaitingEndsThroughCancel) {
  for (const int signal : {SIGTERM, SIGINT, SIGQUIT, SIGHUP}) {
    SCOPED_TRACE(signal);
    Start({"--simulate=replug=never", "--yes", "--wait", "60"});
    WaitForStatus("Preparing device done, waiting for reconnect ...");
    ::kill(static_cast<pid_t>(process.processId()), signal);
    const FlashRun run = Finish();
    EXPECT_EQ(run.exitCode, 130);
    EXPECT_EQ(run.Presses().back(), "cancel");
  }
}

// A signal during a long firmware search ends the tool at once, with or without --dry-run, and
// the device never hears of it: the search runs off the UI thread, so the signal comes first.
TEST_F(FlashE2e, TerminationDuringTheFirmwareSearchSendsNothing) {
  for (int k = 0; k < 3000; ++k)
    ASSERT_TRUE(kavori::firmware::ImageBuilder().Magic().Size(64).WriteTo(
        firmwareDir.filePath(QStringLiteral("a%1.hex").arg(10000 + k)).toStdString()));
  for (const bool dryRun : {false, true}) {
    SCOPED_TRACE(dryRun ? "dry run" : "yes");
    QStringList arguments{"--simulate", "--yes"};
    if (dryRun) arguments << "--dry-run";
    Start(arguments);
    WaitForStatus("Searching a Kavori firmware file ...");
    ::kill(static_cast<pid_t>(process.processId()), SIGINT);
    const FlashRun run = Finish();
    EXPECT_EQ(run.exitCode, 130);
    EXPECT_EQ(run.Presses().back(), "cancel");
    EXPECT_EQ(run.Texts("status").back(), "Searching a Kavori firmware file ...");
    EXPECT_EQ(run.Device()["mode"].toString(), "normal") << "the prepare command was sent";
  }
}

TEST_F(FlashE2e, TerminationIsRefusedWhileProgramming) {
  // The latency stretches the download to seconds, so that the signals land in the middle of it.
  Start({"--simulate=pid=0x8105,latency-us=8000", "--yes"});
  WaitForStatus("Programming, 2% completed.");
  for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
    ::kill(static_cast<pid_t>(process.processId()), signal);
  const FlashRun run = Finish();
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(run.stdErr.contains("the device is being programmed")) << run.stdErr.toStdString();
  EXPECT_EQ(run.Device()["flash_sha256"].toString(), DemoSha256());
}

struct BadArguments {
  const char* name;
  QStringList arguments;
};

class FlashUsage : public ::testing::TestWithParam<BadArguments> {};

TEST_P(FlashUsage, BadCommandLineExits64WithOneLine) {
  QProcess process;
  process.start(QStringLiteral(KAVORI_FLASH_PATH), GetParam().arguments);
  ASSERT_TRUE(process.waitForFinished(kRunLimitMs));
  EXPECT_EQ(process.exitCode(), 64);
  EXPECT_TRUE(process.readAllStandardOutput().isEmpty());
  const QByteArray err = process.readAllStandardError();
  EXPECT_EQ(err.count('\n'), 1) << err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Usage, FlashUsage,
    ::testing::Values(BadArguments{"Unknown", {"--json", "--bogus"}},
                      BadArguments{"TrailingGarbage", {"--simulate", "--wait", "12x"}},
                      BadArguments{"SimulateOption", {"--simulate=nak=dance", "--json"}},
                      BadArguments{"NoSuchDirectory", {"--simulate", "--dir", "/nonexistent/kf"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
