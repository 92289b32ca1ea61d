// How long the UI thread is kept from its event loop during a whole simulated run of the terminal
// front end (the same session, wizard and driver as kavori-flash --yes) over a folder of 3,000
// unsuitable "*.hex" entries and the image: a 1 ms timer ticks on the UI thread throughout, and
// the row is the longest delay of a tick beyond its period. The firmware search alone takes 3 s
// of fixed pauses, and the run has its 1500 and 2500 ms pauses: none of it may hold the loop.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <memory>
#include <sstream>
#include <string>

#include "bench/bench_rows.hpp"
#include "cli/driver.hpp"
#include "cli/reporter.hpp"
#include "cli/terminal_view.hpp"
#include "firmware/image_builder.hpp"
#include "frontend/session.hpp"
#include "sim/sim_options.hpp"

namespace kavori {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kUnsuitableEntries = 3000;
constexpr double kTickMs = 1;
constexpr double kTargetMs = 50;

// The folder: the entries sort before the image, so the search tries every one of them first.
bool MakeFolder(const QTemporaryDir& dir) {
  for (int k = 0; k < kUnsuitableEntries; ++k) {
    const std::string name = "a" + std::to_string(10000 + k) + ".hex";
    if (!firmware::ImageBuilder().Magic().Size(64).WriteTo(
            dir.filePath(name.c_str()).toStdString()))
      return false;
  }
  return firmware::DemoImage().WriteTo(dir.filePath("kavori-demo.hex").toStdString());
}

// One run with the real pauses; the longest tick delay in ms, or a negative value on failure.
double LongestStallMs(const QString& folder) {
  std::ostringstream out;
  std::ostringstream err;
  const std::unique_ptr<cli::Reporter> reporter = cli::MakeJsonReporter(out, err);
  cli::TerminalView view(*reporter);
  std::string error;
  frontend::Session session(view, folder.toStdString(),
                            sim::ParseSimOptions("replug=100,restart=10", error));
  cli::DriverSettings settings;
  settings.yes = true;
  cli::Driver driver(session.Wizard(), view, *reporter, settings);

  double longest = 0;
  Clock::time_point last = Clock::now();
  QTimer tick;
  tick.setTimerType(Qt::PreciseTimer);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const Clock::time_point now = Clock::now();
    longest = std::max(longest, std::chrono::duration<double, std::milli>(now - last).count());
    last = now;
  });
  tick.start(static_cast<int>(kTickMs));
  QTimer::singleShot(0, &driver, [&driver] { driver.Begin(); });
  const int code = QCoreApplication::exec();
  tick.stop();
  session.End();
  return code == 0 ? longest - kTickMs : -1;
}

void BM_UiThreadStall(benchmark::State& state) {
  QTemporaryDir dir;
  if (!dir.isValid() || !MakeFolder(dir)) {
    state.SkipWithError("cannot write the firmware folder");
    return;
  }
  double stall = 0;
  for (auto _ : state) {
    stall = LongestStallMs(dir.path());
    if (stall < 0) {
      state.SkipWithError("the simulated run did not succeed");
      return;
    }
  }
  // The ratio is the stall in ticks of the timer that measures it.
  bench::SetRow(state, stall, kTickMs, stall / kTickMs, kTargetMs / kTickMs);
  state.SetLabel("UI thread: longest ms from its loop, run over 3,000 entries");
}
BENCHMARK(BM_UiThreadStall)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace kavori

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
