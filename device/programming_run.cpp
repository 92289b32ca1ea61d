#include "device/programming_run.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "device/commands.hpp"
#include "device/device_link.hpp"
#include "device/flags.hpp"
#include "device/results.hpp"
#include "firmware/firmware_image.hpp"
#include "platform/pause.hpp"

namespace kavori::device {

namespace {
std::mutex g_runMutex;
std::thread g_runThread;

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

// The failure text of the first step that fails; nullptr when every step succeeded.
const char* RunSteps(RunObserver& observer) {
  SendEnterProgramming();
  if (WaitReply() != ReplyAck) return "Error entering programming mode.";
  if (DownloadImage(observer) != kOk) return "Firmware download failed !";
  observer.RunStatus("Burning Flash ...");
  if (SendBurnFlash() != kOk) return "Flash burn failed !";
  observer.RunStatus("Verifying ...");
  if (SendVerify() != kOk) return "Verify failed !";
  observer.RunStatus("Restarting device ...");
  SendRestart();
  platform::Pause(10);
  CloseDeviceLink();
  platform::Pause(2500);
  return nullptr;
}
}  // namespace

int ProgressPercent(std::uint32_t offset, std::uint32_t size) {
  // Double precision on purpose: its rounding shows 29, 57 and 58 where the exact quotient is
  // that whole number, one lower than the integer formula, and those are the values to show.
  const double t = (static_cast<double>(offset + 1ULL) / static_cast<double>(size + 1ULL)) * -100.0;
  return 1 - static_cast<int>(t);
}

int DownloadImage(RunObserver& observer) {
  const auto image = firmware::FirmwareImage.Bytes();
  const std::uint64_t size = image.size();
  CommandReport[kReportCommand] = CmdDataBlock;
  int lastShown = 0;
  for (std::uint64_t offset = 0; offset < size; offset += kBlockSize) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(kBlockSize, size - offset));
    std::memcpy(&CommandReport[kReportData], image.data() + offset, n);
    CommandReport[kReportCount] = static_cast<std::uint8_t>(n);
    CommandReport[kReportAddressLow] = static_cast<std::uint8_t>(offset % 256);
    CommandReport[kReportAddressHigh] = static_cast<std::uint8_t>((offset / 256) % 256);
    WriteCommandReport();
    if (WaitReply() != ReplyAck) {
      ProgrammingFailed = true;
      observer.RunStatus(FailedBlockText(offset));
      return kNotAcknowledged;
    }
    const int percent =
        ProgressPercent(static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(size));
    if (percent != lastShown) {
      observer.RunProgress(percent, ProgressText(percent));
      lastShown = percent;
      platform::Pause(1);
    }
  }
  return kOk;
}

void ProgrammingRun(RunObserver& observer) {
  ProgrammingActive = true;
  ProgrammingFailed = false;
  observer.RunStatus("Initializing ...");
  ReplyEvent.Create();

  const char* failure = RunSteps(observer);
  if (failure != nullptr) ProgrammingFailed = true;
  observer.RunStatus(failure != nullptr ? failure : "Programming completed successfully.");
  ReplyEvent.Close();
  CloseDeviceLink();
  firmware::UnloadFirmwareFile();
  ProgrammingActive = false;
  observer.RunFinished();
}

bool StartProgrammingRun(RunObserver& observer) {
  std::lock_guard guard(g_runMutex);
  if (g_runThread.joinable()) g_runThread.join();
  ProgrammingActive = true;
  try {
    g_runThread = std::thread(ProgrammingRun, std::ref(observer));
  } catch (const std::system_error&) {
    ProgrammingActive = false;
    return false;
  }
  return true;
}

void JoinProgrammingRun() {
  std::lock_guard guard(g_runMutex);
  if (g_runThread.joinable()) g_runThread.join();
}

}  // namespace kavori::device
