// Every fault the simulated Kavori can show (a failure reply, no reply, an unplug) at every command
// of a run, through the built kavori-flash: the texts the user reads, the exit code, a run time
// bounded by the reply time-out, and nothing left held for the next run.
#include <gtest/gtest.h>
#include <signal.h>

#include <QElapsedTimer>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "cli/flash_harness.hpp"
#include "firmware/image_builder.hpp"

namespace {

using kavori::testing::FlashRun;

constexpr int kReplyTimeoutMs = 300;
// Process start and the machine's load (sanitizer builds, ctest -j2), beyond the product's own
// pauses and the one reply time-out a row can cost.
constexpr qint64 kMarginMs = 6000;
// The product's fixed pauses on a row's path: after the restart command (10 + 2500 ms); after
// prepare (1500 ms) plus the one second of --wait that the device does not come back within.
constexpr qint64 kRestartPausesMs = 2510;
constexpr qint64 kPreparePausesMs = 1500 + 1000;

const QString kImageFile = QStringLiteral("small.hex");
const QString kErrorPage = QStringLiteral(
    "Error programming device.\n\nPlease contact Brimsel support and provide the information "
    "listed below.");
const QString kSuccessPage =
    QStringLiteral("Programming completed successfully.\n\nTo close and Exit, Click 'Finish'.");
const QString kReplugPage = QStringLiteral(
    "Preparing device for programming is done.\n\nPlease disconnect the USB cord.\n Wait 10 "
    "seconds, and then reconnect the USB cord.\nThen follow the 'Found new hardware' wizard "
    "instructions.\nWhen done, click 'Next'.\n(The 'Next' button will be enabled only after "
    "reconnecting the device)");
const QString kShuttingDown = QStringLiteral("Shutting down ...");
const QString kCloseQuestion = QStringLiteral("Close and exit ?");

// 384 bytes that suit the simulated device: seven blocks at 0, 56, ..., 336 (the last 48 bytes).
std::vector<std::uint8_t> SmallImage() {
  using namespace kavori::firmware;
  return ImageBuilder()
      .Magic()
      .DeviceDescriptorAt(0x20, kDemoProductId, kDemoBcdDevice)
      .StringDescriptorAt(0x80, kDemoProductCode)
      .Size(384)
      .Build();
}

// A command of the run that a fault hits, and how the run then ends. `mode` is where a failure
// reply or no reply leaves the device; an unplug always leaves it absent.
struct Stage {
  const char* name;
  const char* fault;  // CMD[@OFFSET] of the fault items
  bool normalMode;    // prepare needs a device in its normal firmware; the rest its loader
  std::vector<QString> lastStatuses;  // the status lines that end the run
  QString lastMessage;
  int exitCode;
  qint64 pausesMs;
  const char* mode;  // "normal" or "loader"
  bool flashed;      // the device's flash holds the image afterwards
};

struct FaultRow {
  std::string name;
  QString simulate;
  std::vector<QString> lastStatuses;
  QString lastMessage;
  int exitCode;
  qint64 pausesMs;
  QString device;  // "normal", "loader" or "absent"
  bool flashed;
};

void PrintTo(const FaultRow& row, std::ostream* os) { *os << row.name; }

std::vector<FaultRow> Rows() {
  const std::vector<Stage> stages = {
      {"Prepare",
       "prepare",
       true,
       {"Preparing device ...", "Preparing device done, waiting for reconnect ...", kShuttingDown},
       kReplugPage,
       5,
       kPreparePausesMs,
       "normal",
       false},
      {"Enter",
       "enter",
       false,
       {"Initializing ...", "Error entering programming mode.", kShuttingDown},
       kErrorPage,
       1,
       0,
       "loader",
       false},
      {"FirstBlock",
       "data@0",
       false,
       {"Initializing ...", "Programming Failed [0000].", "Firmware download failed !",
        kShuttingDown},
       kErrorPage,
       1,
       0,
       "loader",
       false},
      {"MiddleBlock",
       "data@168",
       false,
       {"Programming Failed [00A8].", "Firmware download failed !", kShuttingDown},
       kErrorPage,
       1,
       0,
       "loader",
       false},
      {"LastBlock",
       "data@336",
       false,
       {"Programming Failed [0150].", "Firmware download failed !", kShuttingDown},
       kErrorPage,
       1,
       0,
       "loader",
       false},
      {"Burn",
       "burn",
       false,
       {"Burning Flash ...", "Flash burn failed !", kShuttingDown},
       kErrorPage,
       1,
       0,
       "loader",
       false},
      {"Verify",
       "verify",
       false,
       {"Verifying ...", "Verify failed !", kShuttingDown},
       kErrorPage,
       1,
       0,
       "loader",
       true},
      // Restart is never answered, so no fault there can be seen: the image was burned and
      // verified, the run succeeds, and the device stays where the fault left it.
      {"Restart",
       "restart",
       false,
       {"Restarting device ...", "Programming completed successfully.", kShuttingDown},
       kSuccessPage,
       0,
       kRestartPausesMs,
       "loader",
       true},
  };
  const struct {
    const char* option;
    const char* name;
  } kinds[] = {{"nak", "Nak"}, {"silent", "Silent"}, {"unplug", "Unplug"}};
  std::vector<FaultRow> rows;
  for (const Stage& stage : stages) {
    for (const auto& kind : kinds) {
      FaultRow row;
      row.name = std::string(kind.name) + "At" + stage.name;
      row.simulate = QStringLiteral("--simulate=") +
                     (stage.normalMode ? "replug=50," : "pid=0x8105,restart=0,") + kind.option +
                     "=" + stage.fault;
      row.lastStatuses = stage.lastStatuses;
      row.lastMessage = stage.lastMessage;
      row.exitCode = stage.exitCode;
      row.pausesMs = stage.pausesMs;
      row.device = std::string(kind.option) == "unplug" ? "absent" : stage.mode;
      row.flashed = stage.flashed;
      rows.push_back(std::move(row));
    }
  }
  return rows;
}

QString DeviceState(const FlashRun& run) {
  const QJsonObject device = run.Device();
  if (device.isEmpty()) return "no device line";
  return device["present"].toBool() ? device["mode"].toString() : QStringLiteral("absent");
}

class FaultRunTest : public kavori::testing::FlashHarness {
 protected:
  void SetUp() override {
    FlashHarness::SetUp();
    ASSERT_TRUE(kavori::firmware::ImageBuilder().BytesAt(0, image_).WriteTo(
        firmwareDir.filePath(kImageFile).toStdString()));
  }

  // A sanitizer build reports its findings on stderr; a finding is a failed run.
  static void ExpectNoSanitizerReport(const FlashRun& run) {
    EXPECT_FALSE(run.stdErr.contains("Sanitizer") || run.stdErr.contains("runtime error"))
        << run.stdErr.toStdString();
  }

  // Whatever the last run held (the image file's lock above all) must not keep a fresh run with
  // a fresh device from loading the same folder. A dry run takes the same lock as a real one.
  void ExpectFolderUsableAgain() {
    const FlashRun next = Run({"--simulate=pid=0x8105", "--dry-run", "--yes"});
    EXPECT_EQ(next.exitCode, 0) << next.stdErr.toStdString();
    EXPECT_TRUE(next.HasStatus("Firmware file version and device version check"))
        << "the image file is still held";
    ExpectNoSanitizerReport(next);
  }

  const std::vector<std::uint8_t> image_ = SmallImage();
};

class FaultMatrixTest : public FaultRunTest, public ::testing::WithParamInterface<FaultRow> {};

TEST_P(FaultMatrixTest, ShowsTheStepsFailureEndsInTimeAndLeavesNothingHeld) {
  const FaultRow& row = GetParam();
  QElapsedTimer clock;
  clock.start();
  const FlashRun run = Run({row.simulate, "--yes", "--wait", "1", "--reply-timeout-ms",
                            QString::number(kReplyTimeoutMs)});
  const qint64 elapsedMs = clock.elapsed();

  EXPECT_EQ(run.exitCode, row.exitCode) << run.stdErr.toStdString();
  const std::vector<QString> statuses = run.Texts("status");
  ASSERT_GE(statuses.size(), row.lastStatuses.size());
  EXPECT_EQ(
      std::vector<QString>(statuses.end() - static_cast<std::ptrdiff_t>(row.lastStatuses.size()),
                           statuses.end()),
      row.lastStatuses);
  ASSERT_FALSE(run.Texts("message").empty());
  EXPECT_EQ(run.Texts("message").back(), row.lastMessage);
  // Finish asks before closing unless programming has succeeded.
  EXPECT_EQ(run.Texts("question"),
            row.exitCode == 0 ? std::vector<QString>{} : std::vector<QString>{kCloseQuestion});
  EXPECT_EQ(DeviceState(run), row.device);
  EXPECT_EQ(run.Device()["flash_sha256"].toString() == kavori::testing::Sha256(image_),
            row.flashed);
  EXPECT_LE(elapsedMs, row.pausesMs + kReplyTimeoutMs + kMarginMs)
      << "the fault was waited out longer than one reply time-out";
  ExpectNoSanitizerReport(run);

  ExpectFolderUsableAgain();
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrixTest, ::testing::ValuesIn(Rows()),
                         [](const auto& info) { return info.param.name; });

// SIGKILL cannot be refused or cleaned up after: the kernel alone releases the image file's lock.
TEST_F(FaultRunTest, RunKilledWhileProgrammingLeavesTheFolderUsable) {
  // The latency stretches the download so that the kill lands in its middle.
  Start({"--simulate=pid=0x8105,latency-us=200000", "--yes"});
  WaitForStatus("Programming, 1% completed.");
  ::kill(static_cast<pid_t>(process.processId()), SIGKILL);
  ASSERT_TRUE(process.waitForFinished(kavori::testing::kRunLimitMs));
  EXPECT_EQ(process.exitStatus(), QProcess::CrashExit);

  const FlashRun next = Run({"--simulate=pid=0x8105,restart=0", "--yes"});
  EXPECT_EQ(next.exitCode, 0) << next.stdErr.toStdString();
  EXPECT_EQ(next.Device()["flash_sha256"].toString(), kavori::testing::Sha256(image_));
  ExpectNoSanitizerReport(next);
}

}  // namespace
