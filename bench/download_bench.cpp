// The download's speed targets, each product measurement interleaved with its reference in the
// same iteration so that a machine shared with other work slows both alike. Every benchmark
// reports its row through bench/bench_rows.hpp (medians of value, reference and their ratio,
// and the largest ratio allowed); scripts/bench prints the rows as one table.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "bench/bench_rows.hpp"
#include "device/commands.hpp"
#include "device/device_link.hpp"
#include "device/programming_run.hpp"
#include "device/protocol.hpp"
#include "firmware/firmware_image.hpp"
#include "firmware/image_builder.hpp"
#include "firmware/product_ids.hpp"
#include "platform/pause.hpp"
#include "sim/simulated_world.hpp"

namespace kavori {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kImageSize = 64 * 1024;
constexpr std::size_t kBlocks = (kImageSize + device::kBlockSize - 1) / device::kBlockSize;
// Far longer than any reply takes; a reply that does not come fails the benchmark.
constexpr int kReadBoundMs = 5000;
// The pause scale that makes the product's pauses vanish (each becomes a zero sleep).
constexpr double kNoPauses = 1e-9;

class IgnoreRun : public device::RunObserver {
 public:
  void RunStatus(const std::string&, bool) override {}
  void RunProgress(int, const std::string&, bool) override {}
  void RunFinished() override {}
};

// The demo image of kImageSize bytes, loaded as the programming run gets it.
class LoadedImage {
 public:
  LoadedImage() : path_("/tmp/kavori-bench-download-" + std::to_string(kImageSize) + ".hex") {
    firmware::DemoImage().Size(kImageSize).WriteTo(path_);
    auto loaded = firmware::LoadFirmwareFile(path_);
    if (loaded) image_.emplace(std::move(loaded).value());
  }
  ~LoadedImage() {
    image_.reset();
    std::remove(path_.c_str());
  }
  bool Ok() const { return image_.has_value(); }
  std::span<const std::uint8_t> Bytes() const { return image_->Bytes(); }

 private:
  std::string path_;
  std::optional<firmware::FirmwareImage> image_;
};

sim::SimulatedWorld MakeWorld(const char* options) {
  std::string error;
  return sim::SimulatedWorld(sim::ParseSimOptions(options, error).value());
}

std::unique_ptr<platform::HidHandle> OpenKavori(sim::SimulatedWorld& world) {
  platform::HidBackend& hid = *world.Services().hid;
  for (const std::string& path : hid.EnumerateInterfaces()) {
    auto handle = hid.Open(path);
    platform::HidAttributes attributes;
    if (handle && handle->GetAttributes(attributes) && attributes.vendorId == firmware::kVendorId)
      return handle;
  }
  return nullptr;
}

// The reference: the same reports as the product writes (enter, then the image in blocks), each
// reply read on the writing handle by the writing thread; no device link, no reply channel. With
// `withPauses`, the product's 1 ms pause after each new percentage too, at the product's scale.
class RawDownload {
 public:
  RawDownload(sim::SimulatedWorld& world, platform::Pauses pauses)
      : handle_(OpenKavori(world)), pauses_(pauses) {}

  // False when the device did not acknowledge everything.
  bool Run(std::span<const std::uint8_t> image, bool withPauses) {
    report_.fill(0);
    std::copy(device::kReportHeader.begin(), device::kReportHeader.end(), report_.begin());
    report_[device::kReportCommand] = device::CmdEnterProgramming;
    report_[device::kReportCount] = 1;
    if (Exchange(report_) != device::ReplyAck) return false;
    report_[device::kReportCommand] = device::CmdDataBlock;
    int lastShown = 0;
    for (std::size_t offset = 0; offset < image.size(); offset += device::kBlockSize) {
      const std::size_t n = std::min(device::kBlockSize, image.size() - offset);
      device::FrameDataBlock(report_, offset, image.subspan(offset, n));
      if (Exchange(report_) != device::ReplyAck) return false;
      if (!withPauses) continue;
      const int percent = device::ProgressPercent(static_cast<std::uint32_t>(offset),
                                                  static_cast<std::uint32_t>(image.size()));
      if (percent != lastShown) {
        lastShown = percent;
        pauses_.Pause(1);
      }
    }
    return true;
  }

 private:
  // Writes the report and returns the reply code, or -1 when none came.
  int Exchange(const std::array<std::uint8_t, device::kReportLength>& report) {
    if (!handle_ || !handle_->Write(report.data(), report.size())) return -1;
    const platform::ReadResult r = handle_->Read(reply_.data(), reply_.size(), kReadBoundMs);
    return r.status == platform::ReadStatus::Data ? reply_[1] : -1;
  }

  std::unique_ptr<platform::HidHandle> handle_;
  const platform::Pauses pauses_;
  std::array<std::uint8_t, device::kReportLength> report_{};
  std::array<std::uint8_t, device::kReportLength> reply_{};
};

// The product: enter, then DownloadImage, through the device link.
bool ProductDownload(device::DeviceLink& link, device::ProgrammingRun& run,
                     std::span<const std::uint8_t> image) {
  IgnoreRun observer;
  device::SendEnterProgramming(link);
  return device::WaitReply(link) == device::ReplyAck && run.DownloadImage(observer, image) == 0;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Runs the product and the bare loop alternately against two devices made from `options`, with
// the given pause scale; value and reference are the median seconds per download times `scale`.
void Compare(benchmark::State& state, const char* options, double pauseScale, bool referencePauses,
             double scale, double target) {
  const platform::Pauses pauses(pauseScale);
  LoadedImage image;
  sim::SimulatedWorld productWorld = MakeWorld(options);
  sim::SimulatedWorld referenceWorld = MakeWorld(options);
  platform::Platform services = productWorld.Services();
  services.pauses = pauses;
  device::DeviceLink link(services);
  if (!image.Ok() || link.OpenDeviceLink() != 0) {
    state.SkipWithError("no image or no simulated device");
    return;
  }
  link.Replies().Create();
  device::ProgrammingRun run(link);
  auto reference = std::make_unique<RawDownload>(referenceWorld, pauses);

  bench::PairedTimes times;
  bool ok = true;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    ok = ProductDownload(link, run, image.Bytes()) && ok;
    const auto t1 = Clock::now();
    ok = reference->Run(image.Bytes(), referencePauses) && ok;
    const auto t2 = Clock::now();
    times.Add(Seconds(t1 - t0) * scale, Seconds(t2 - t1) * scale);
    state.SetIterationTime(Seconds(t1 - t0));
  }
  reference.reset();
  if (!ok) state.SkipWithError("a reply was missing or refused");
  bench::SetRow(state, times.Value(), times.Reference(), times.Ratio(), target);
  link.Replies().Close();
}

constexpr double kMicrosecondsPerBlock = 1e6 / static_cast<double>(kBlocks);

// The link's own cost per 56-byte block against a device that answers at once, pauses left out:
// at most 1.5 times a bare write-then-read on one handle.
void BM_DownloadBlockCost(benchmark::State& state) {
  Compare(state, "pid=0x8105", kNoPauses, false, kMicrosecondsPerBlock, 1.5);
  state.SetLabel("download: us per block, zero latency");
}
BENCHMARK(BM_DownloadBlockCost)->UseManualTime()->Iterations(100)->Unit(benchmark::kMillisecond);

// A whole 64 KiB download against a device that answers after 1 ms, with the real pauses: within
// 2 % of the bare loop that takes the same pauses, so the link adds nothing a user could notice.
void BM_Download64KiBAt1ms(benchmark::State& state) {
  Compare(state, "pid=0x8105,latency-us=1000", 1.0, true, 1e3, 1.02);
  state.SetLabel("download: ms per 64 KiB, 1 ms reply latency");
}
BENCHMARK(BM_Download64KiBAt1ms)->UseManualTime()->Iterations(4)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kavori
