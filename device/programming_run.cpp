#include "device/programming_run.hpp"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <system_error>
#include <utility>

#include "device/commands.hpp"
#include "device/device_link.hpp"
#include "device/results.hpp"

namespace kavori::device {

namespace {

std::string FailedBlockText(std::uint64_t offset) {
  char text[64];
  std::snprintf(text, sizeof text, "Programming Failed [%04llX].",
                static_cast<unsigned long long>(offset));
  return text;
}

std::string ProgressText(int percent) {
  char text[64];
  std::snprintf(text, sizeof text, "Programming, %d%% completed.", percent);
  return text;
}

}  // namespace

ProgrammingRun::ProgrammingRun(DeviceLink& link) : link_(link) {}

ProgrammingRun::~ProgrammingRun() { JoinProgrammingRun(); }

const char* ProgrammingRun::RunSteps(RunObserver& observer, std::span<const std::uint8_t> image) {
  const platform::Pauses& pauses = link_.Services().pauses;
  SendEnterProgramming(link_);
  if (WaitReply(link_) != ReplyAck) return "Error entering programming mode.";
  if (DownloadImage(observer, image) != kOk) return "Firmware download failed !";
  observer.RunStatus("Burning Flash ...", failed_);
  if (SendBurnFlash(link_) != kOk) return "Flash burn failed !";
  observer.RunStatus("Verifying ...", failed_);
  if (SendVerify(link_) != kOk) return "Verify failed !";
  observer.RunStatus("Restarting device ...", failed_);
  SendRestart(link_);
  pauses.Pause(10);
  link_.CloseDeviceLink();
  pauses.Pause(2500);
  return nullptr;
}

int ProgressPercent(std::uint32_t offset, std::uint32_t size) {
  // Double precision on purpose: its rounding shows 29, 57 and 58 where the exact quotient is
  // that whole number, one lower than the integer formula, and those are the values to show.
  const double t = (static_cast<double>(offset + 1ULL) / static_cast<double>(size + 1ULL)) * -100.0;
  return 1 - static_cast<int>(t);
}

int ProgrammingRun::DownloadImage(RunObserver& observer, std::span<const std::uint8_t> image) {
  const platform::Pauses& pauses = link_.Services().pauses;
  const std::uint64_t size = image.size();
  auto& report = link_.CommandReport();
  report[kReportCommand] = CmdDataBlock;
  int lastShown = 0;
  for (std::uint64_t offset = 0; offset < size; offset += kBlockSize) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(kBlockSize, size - offset));
    FrameDataBlock(report, offset, image.subspan(static_cast<std::size_t>(offset), n));
    WriteCommandReport(link_);
    if (WaitReply(link_) != ReplyAck) {
      failed_ = true;
      observer.RunStatus(FailedBlockText(offset), true);
      return kNotAcknowledged;
    }
    const int percent =
        ProgressPercent(static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(size));
    if (percent != lastShown) {
      observer.RunProgress(percent, ProgressText(percent), failed_);
      lastShown = percent;
      pauses.Pause(1);
    }
  }
  return kOk;
}

void ProgrammingRun::Run(RunObserver& observer, firmware::FirmwareImage image) {
  active_ = true;
  failed_ = false;
  observer.RunStatus("Initializing ...", false);
  link_.Replies().Create();

  const char* failure = RunSteps(observer, image.Bytes());
  if (failure != nullptr) failed_ = true;
  observer.RunStatus(failure != nullptr ? failure : "Programming completed successfully.", failed_);
  link_.Replies().Close();
  link_.CloseDeviceLink();
  // Released before the wizard moves on, as an unload would.
  { const firmware::FirmwareImage released = std::move(image); }
  active_ = false;
  observer.RunFinished();
}

bool ProgrammingRun::StartProgrammingRun(RunObserver& observer, firmware::FirmwareImage image) {
  std::lock_guard guard(threadMutex_);
  if (thread_.joinable()) thread_.join();
  active_ = true;
  failed_ = false;
  try {
    thread_ = std::thread(
        [this, &observer](firmware::FirmwareImage owned) { Run(observer, std::move(owned)); },
        std::move(image));
  } catch (const std::system_error&) {
    active_ = false;
    return false;
  }
  return true;
}

void ProgrammingRun::JoinProgrammingRun() {
  std::lock_guard guard(threadMutex_);
  if (thread_.joinable()) thread_.join();
}

}  // namespace kavori::device
