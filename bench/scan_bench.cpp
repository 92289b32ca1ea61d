// The firmware scan's speed target, interleaved with its reference (see download_bench.cpp).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include "bench/bench_rows.hpp"
#include "firmware/firmware_image.hpp"
#include "firmware/image_builder.hpp"

namespace kavori {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kImageSize = 16 << 20;

// Reads every byte once and adds it up: what any scan has to do at the least.
std::uint64_t ReadEveryByte(std::span<const std::uint8_t> bytes) {
  std::uint64_t sum = 0;
  for (const std::uint8_t b : bytes) sum += b;
  return sum;
}

// A 16 MiB image scans at least half as fast as a plain loop reads it.
void BM_Scan16MiB(benchmark::State& state) {
  const std::vector<std::uint8_t> image = firmware::DemoImage().Size(kImageSize).Build();
  std::uint32_t version = 0;
  char code[firmware::kProductCodeLength + 1] = {};
  bench::PairedTimes seconds;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(firmware::ScanImageBytes(image, version, code));
    const auto t1 = Clock::now();
    benchmark::DoNotOptimize(ReadEveryByte(image));
    const auto t2 = Clock::now();
    seconds.Add(std::chrono::duration<double>(t1 - t0).count(),
                std::chrono::duration<double>(t2 - t1).count());
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
  }
  const double megabytes = static_cast<double>(kImageSize) / 1e6;
  bench::SetRow(state, megabytes / seconds.Value(), megabytes / seconds.Reference(),
                seconds.Ratio(), 2.0);
  state.SetBytesProcessed(static_cast<std::int64_t>(kImageSize * state.iterations()));
  state.SetLabel("scan: MB/s, 16 MiB image");
}
BENCHMARK(BM_Scan16MiB)->UseManualTime()->Iterations(30)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kavori
