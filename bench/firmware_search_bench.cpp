// The firmware search over a folder of 10,000 "*.hex" entries at the product's real pauses.
// Run: build/default/bench/kavori_search_bench
// Its floor is the fixed 1 ms pause before each further entry (about 10 s); the "ratio" counter
// says how far above that floor the search runs, which is the cost of the entries themselves.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "firmware/firmware_image.hpp"
#include "firmware/firmware_selection.hpp"
#include "firmware/image_builder.hpp"
#include "platform/pause.hpp"

namespace kavori {
namespace {

constexpr int kEntries = 10000;

// 9,999 entries with the wrong magic, then one that suits the default simulated serial.
std::filesystem::path MakeFolder() {
  std::random_device random;
  const auto folder =
      std::filesystem::temp_directory_path() / ("kavori-bench-search-" + std::to_string(random()));
  std::filesystem::create_directory(folder);
  for (int i = 0; i < kEntries - 1; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "e%05d.hex", i);
    firmware::ImageBuilder().BytesAt(0, {0xAA, 0x08}).WriteTo((folder / name).string());
  }
  firmware::DemoImage().WriteTo((folder / "z.hex").string());
  return folder;
}

void BM_SearchTenThousandEntries(benchmark::State& state) {
  const auto folder = MakeFolder();
  firmware::TargetDevice device;
  const std::string serial = "KAVSBL01234567890ABCDE";
  serial.copy(device.serialString.data(), serial.size());
  const platform::Pauses pauses;  // the product's own
  std::chrono::steady_clock::duration searching{};
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const auto selection = firmware::SelectFirmware(folder.string(), device, pauses);
    searching += std::chrono::steady_clock::now() - start;
    if (selection.result != firmware::FirmwareSearchResult::Suitable)
      state.SkipWithError("the last entry was not chosen");
  }
  const double floorSeconds =
      static_cast<double>((kEntries - 1) * pauses.Duration(1).count()) / 1e6;
  const double seconds =
      std::chrono::duration<double>(searching).count() / static_cast<double>(state.iterations());
  state.counters["floor_s"] = floorSeconds;
  state.counters["ratio"] = seconds / floorSeconds;
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_SearchTenThousandEntries)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace
}  // namespace kavori

BENCHMARK_MAIN();
