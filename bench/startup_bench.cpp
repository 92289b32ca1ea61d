// Start-up and reconnect times of the real programs, each next to its floor: how long from process
// start to the first page of each front end, and from the device's reappearance in loader mode to
// step 4. Rows as in download_bench.cpp (value, reference, ratio, target), in milliseconds.
//
// Runs the built kavori-flash and kavori-fwtool against the simulated Kavori, the window on Qt's
// offscreen platform, so no display and no device are needed.
#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "app/single_instance.hpp"
#include "bench/bench_rows.hpp"
#include "firmware/image_builder.hpp"

namespace kavori {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kBound = std::chrono::seconds(30);
// The wizard's fixed waits around the replug (wizard/wizard.cpp, device/reconnect_watcher.cpp).
constexpr double kPreparePauseMs = 1500;
constexpr double kPollMs = 500;
constexpr double kSettleMs = 2500;
// The device comes back this long after the watcher's first poll would have looked: it is found
// at the next poll, kPollMs after the first.
constexpr double kMissedPollByMs = 100;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A folder with the demo image, which suits the simulated device.
class FirmwareFolder {
 public:
  FirmwareFolder() {
    ok_ = dir_.isValid() &&
          firmware::DemoImage().WriteTo(dir_.filePath(QStringLiteral("demo.hex")).toStdString());
  }
  bool Ok() const { return ok_; }
  QString Path() const { return dir_.path(); }

 private:
  QTemporaryDir dir_;
  bool ok_ = false;
};

// The environment the programs start in: the offscreen platform, no display, so that the window's
// single-instance name is the one this process computes.
QProcessEnvironment ChildEnvironment() {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  environment.remove(QStringLiteral("DISPLAY"));
  environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
  return environment;
}

class Child {
 public:
  Child(const char* program, const QStringList& arguments, const QString& directory,
        QProcessEnvironment environment = ChildEnvironment()) {
    process_.setProcessEnvironment(environment);
    process_.setWorkingDirectory(directory);
    process_.setStandardErrorFile(QProcess::nullDevice());
    start_ = Clock::now();
    process_.start(QString::fromLocal8Bit(program), arguments);
  }
  ~Child() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.terminate();
    if (!process_.waitForFinished(5000)) {
      process_.kill();
      process_.waitForFinished(5000);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  Clock::time_point Start() const { return start_; }

  // Hands each line of stdout, with the milliseconds since the start, to `line` until it returns
  // true (then true) or the program ends or kBound passes (then false).
  bool ReadLines(const std::function<bool(const QByteArray&, double)>& line) {
    while (Clock::now() - start_ < kBound) {
      while (process_.canReadLine()) {
        if (line(process_.readLine().trimmed(), MsSince(start_))) return true;
      }
      if (!process_.waitForReadyRead(100) && process_.state() == QProcess::NotRunning &&
          !process_.canReadLine())
        return false;
    }
    return false;
  }

  // Milliseconds from the start until the local socket `name` answers a line with "ok".
  std::optional<double> UntilSocketAnswers(const QString& name) {
    while (Clock::now() - start_ < kBound) {
      QLocalSocket socket;
      socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
      socket.connectToServer(name);
      if (socket.waitForConnected(100)) {
        socket.write("front\n");
        socket.waitForBytesWritten(1000);
        while (socket.waitForReadyRead(5000)) {
          if (socket.canReadLine()) return socket.readLine() == "ok\n" ? MsSince(start_) : -1;
        }
        return std::nullopt;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::nullopt;
  }

 private:
  QProcess process_;
  Clock::time_point start_;
};

// Milliseconds until the first line of `program` that contains `needle`.
std::optional<double> UntilLine(const char* program, const QStringList& arguments,
                                const QString& directory, const QByteArray& needle) {
  Child child(program, arguments, directory);
  std::optional<double> at;
  child.ReadLines([&](const QByteArray& line, double ms) {
    if (!line.contains(needle)) return false;
    at = ms;
    return true;
  });
  return at;
}

// The terminal front end up to its first page (the first status event), next to the same
// program printing its version: the process start and the libraries it loads. At most 1.5 times
// that: what the tool sets up before its first page stays small next to starting at all.
void BM_FirstPageTerminal(benchmark::State& state) {
  FirmwareFolder folder;
  bench::PairedTimes ms;
  for (auto _ : state) {
    const auto page = UntilLine(KAVORI_FLASH, {"--simulate", "--json", "--dry-run"}, folder.Path(),
                                R"("event":"status")");
    const auto version = UntilLine(KAVORI_FLASH, {"--version"}, folder.Path(), ".");
    if (!folder.Ok() || !page || !version) {
      state.SkipWithError("kavori-flash did not show its first page");
      return;
    }
    ms.Add(*page, *version);
    state.SetIterationTime(*page / 1e3);
  }
  bench::SetRow(state, ms.Value(), ms.Reference(), ms.Ratio(), 1.5);
  state.SetLabel("kavori-flash: ms to the first page");
}
BENCHMARK(BM_FirstPageTerminal)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

// The window on the offscreen platform up to the moment its event loop answers the
// single-instance socket, next to an empty Qt dialog that does the same. At most twice that: the
// artwork, the session and the first step may cost as much again as an empty dialog, no more.
void BM_FirstPageWindow(benchmark::State& state) {
  FirmwareFolder folder;
  QProcessEnvironment simulated = ChildEnvironment();
  simulated.insert(QStringLiteral("KAVORI_SIMULATE"), QString());
  const QString floorName =
      QStringLiteral("kavori-bench-empty-window-%1").arg(QCoreApplication::applicationPid());
  bench::PairedTimes ms;
  for (auto _ : state) {
    std::optional<double> window;
    std::optional<double> empty;
    {
      Child child(KAVORI_FWTOOL, {}, folder.Path(), simulated);
      window = child.UntilSocketAnswers(app::InstanceName());
    }
    {
      Child child(KAVORI_EMPTY_WINDOW, {floorName}, folder.Path());
      empty = child.UntilSocketAnswers(floorName);
    }
    if (!folder.Ok() || !window || !empty || *window < 0 || *empty < 0) {
      state.SkipWithError("the window did not come up");
      return;
    }
    ms.Add(*window, *empty);
    state.SetIterationTime(*window / 1e3);
  }
  bench::SetRow(state, ms.Value(), ms.Reference(), ms.Ratio(), 2.0);
  state.SetLabel("kavori-fwtool: ms to the first page, offscreen");
}
BENCHMARK(BM_FirstPageWindow)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

// From the device's reappearance in loader mode to step 4, against the floor of the watcher's
// poll and settle. The device comes back kMissedPollByMs after the first poll, so the floor is
// the rest of that poll interval plus the settle time. At most 3 % above it: what the tool adds
// around those waits (the prepare, closing the link, the hand-over to the UI thread) stays under
// 90 ms.
void BM_ReconnectToStep4(benchmark::State& state) {
  FirmwareFolder folder;
  const double replugMs = kPreparePauseMs + kMissedPollByMs;
  const double floorMs = kPollMs - kMissedPollByMs + kSettleMs;
  const QStringList arguments = {
      QStringLiteral("--simulate=replug=%1,nak=enter").arg(static_cast<int>(replugMs)), "--json",
      "--yes", "--dir", folder.Path()};
  bench::PairedTimes ms;
  for (auto _ : state) {
    std::optional<double> prepared;
    std::optional<double> step4;
    Child child(KAVORI_FLASH, arguments, folder.Path());
    child.ReadLines([&](const QByteArray& line, double ms) {
      // Written just before the prepare command, which starts the device's replug delay.
      if (line.contains(R"("event":"status","text":"Preparing device ...")")) prepared = ms;
      const QJsonObject event = QJsonDocument::fromJson(line).object();
      if (event.value("event") == QLatin1String("enter") && event.value("step").toInt() == 4)
        step4 = ms;
      return step4.has_value();
    });
    if (!folder.Ok() || !prepared || !step4) {
      state.SkipWithError("kavori-flash did not reach step 4");
      return;
    }
    const double took = *step4 - (*prepared + replugMs);
    ms.Add(took, floorMs);
    state.SetIterationTime(took / 1e3);
  }
  bench::SetRow(state, ms.Value(), floorMs, ms.Ratio(), 1.03);
  state.SetLabel("replug: ms from the loader's reappearance to step 4");
}
BENCHMARK(BM_ReconnectToStep4)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kavori

int main(int argc, char** argv) {
  // The window's single-instance name depends on the platform and the display: the same as the
  // programs started here get.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qunsetenv("DISPLAY");
  qunsetenv("WAYLAND_DISPLAY");
  // The programs' runs are kept in a history of the bench's own, not in the user's.
  QTemporaryDir stateHome;
  if (!stateHome.isValid()) return 1;
  qputenv("XDG_STATE_HOME", QFile::encodeName(stateHome.path()));
  QGuiApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
