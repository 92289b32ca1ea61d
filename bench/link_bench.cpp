// Speed targets of the device link and the firmware scan, measured against the simulated device.
// Run: build/default/bench/kavori_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "device/commands.hpp"
#include "device/device_link.hpp"
#include "device/programming_run.hpp"
#include "device/protocol.hpp"
#include "firmware/firmware_image.hpp"
#include "firmware/image_builder.hpp"
#include "platform/pause.hpp"
#include "sim/simulated_world.hpp"

namespace kavori {
namespace {

sim::SimulatedWorld MakeWorld(const char* options) {
  std::string error;
  return sim::SimulatedWorld(sim::ParseSimOptions(options, error).value());
}

// CloseDeviceLink must return within 200 ms even while a reply wait reads from a silent device.
void BM_CloseWhileReplyWaitReads(benchmark::State& state) {
  sim::SimulatedWorld world = MakeWorld("pid=0x8105,silent=enter");
  device::DeviceLink link(world.Services());
  double worstMs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    link.OpenDeviceLink();
    link.Replies().Create();
    device::SendEnterProgramming(link);
    std::thread waiter([&link] { device::WaitReply(link); });
    // Well into the wait's read of the silent device.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    link.CloseDeviceLink();
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    state.PauseTiming();
    link.Replies().Close();
    waiter.join();
    state.ResumeTiming();
    worstMs = std::max(worstMs, took.count());
  }
  state.counters["worst_ms"] = worstMs;
  if (worstMs >= 200) state.SkipWithError("CloseDeviceLink took 200 ms or more");
}
BENCHMARK(BM_CloseWhileReplyWaitReads)->Unit(benchmark::kMillisecond)->Iterations(50);

class SilentRun : public device::RunObserver {
 public:
  void RunStatus(const std::string&, bool) override {}
  void RunProgress(int, const std::string&, bool) override {}
  void RunFinished() override {}
};

// One acknowledged 56-byte block per exchange: the stack's own cost per block, without the
// device's latency and without the product's 1 ms pause per percent shown.
void BM_DownloadThroughSimulatedDevice(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const std::string path = "/tmp/kavori-bench-" + std::to_string(size) + ".hex";
  firmware::DemoImage().Size(size).WriteTo(path);
  auto image = firmware::LoadFirmwareFile(path);
  std::remove(path.c_str());
  if (!image) {
    state.SkipWithError("the image cannot be loaded");
    return;
  }
  sim::SimulatedWorld world = MakeWorld("pid=0x8105");
  platform::Platform services = world.Services();
  services.pauses = platform::Pauses(0.001);
  device::DeviceLink link(services);
  link.OpenDeviceLink();
  link.Replies().Create();
  device::ProgrammingRun run(link);
  SilentRun observer;
  for (auto _ : state) {
    device::SendEnterProgramming(link);
    device::WaitReply(link);
    if (run.DownloadImage(observer, image->Bytes()) != 0)
      state.SkipWithError("a block was not acknowledged");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
  state.counters["blocks_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations() *
                          ((size + device::kBlockSize - 1) / device::kBlockSize)),
      benchmark::Counter::kIsRate);
  link.Replies().Close();
}
BENCHMARK(BM_DownloadThroughSimulatedDevice)->Arg(30000)->Arg(65536)->Unit(benchmark::kMillisecond);

// The scan looks at each byte once: a 4 MiB image must scan in well under a second.
void BM_ScanImage(benchmark::State& state) {
  const auto image = firmware::DemoImage().Size(static_cast<std::size_t>(state.range(0))).Build();
  std::uint32_t version = 0;
  char code[firmware::kProductCodeLength + 1] = {};
  for (auto _ : state) {
    benchmark::DoNotOptimize(firmware::ScanImageBytes(image, version, code));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image.size()));
}
BENCHMARK(BM_ScanImage)->Arg(30000)->Arg(4 << 20);

}  // namespace
}  // namespace kavori

BENCHMARK_MAIN();
