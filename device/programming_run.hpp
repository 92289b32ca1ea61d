// The programming run: enter programming mode, download the image in acknowledged 56-byte
// blocks with progress, burn, verify, restart; then release the link and the image.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "firmware/firmware_image.hpp"

namespace kavori::device {

class DeviceLink;

// Receives the run's reports. Called on the run thread: implementations hand the work to their
// UI thread and return at once, never waiting for it.
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  // A new status-line text; `failed`: ProgrammingFailed as the run has just set it.
  virtual void RunStatus(const std::string& text, bool failed) = 0;
  // A new status-line text that reports the download's progress, `percent` 1..100.
  virtual void RunProgress(int percent, const std::string& text, bool failed) = 0;
  // The run has ended, everything released and ProgrammingActive cleared: advance the wizard.
  virtual void RunFinished() = 0;
};

// One per session: the run's thread and the two flags it decides.
class ProgrammingRun {
 public:
  explicit ProgrammingRun(DeviceLink& link);
  ~ProgrammingRun();  // joins a started run
  ProgrammingRun(const ProgrammingRun&) = delete;
  ProgrammingRun& operator=(const ProgrammingRun&) = delete;

  // Starts the run on its own thread with `image`, which it releases at its end.
  // ProgrammingActive is set before the thread exists, so that nothing can end the dialog between
  // the start and the run itself. False (ProgrammingActive cleared again, the image released) when
  // no thread could be created. UI thread.
  bool StartProgrammingRun(RunObserver& observer, firmware::FirmwareImage image);
  // Waits for a started run's thread to end. Harmless when none was started. UI thread.
  void JoinProgrammingRun();

  // Set while a run executes; the dialog then refuses to close. Any thread.
  bool ProgrammingActive() const { return active_.load(); }
  void ClearProgrammingActive() { active_ = false; }
  // Set at the first failure of a run or of its start; cleared when a run starts. Any thread.
  bool ProgrammingFailed() const { return failed_.load(); }
  void SetProgrammingFailed() { failed_ = true; }

  // The run's body (the thread routine), on the calling thread.
  void Run(RunObserver& observer, firmware::FirmwareImage image);
  // Sends `image` as data blocks. 0 when every block was acknowledged, -2 at the first that was
  // not (after showing its offset).
  int DownloadImage(RunObserver& observer, std::span<const std::uint8_t> image);

 private:
  // The failure text of the first step that fails; nullptr when every step succeeded.
  const char* RunSteps(RunObserver& observer, std::span<const std::uint8_t> image);

  DeviceLink& link_;
  std::atomic<bool> active_{false};
  std::atomic<bool> failed_{false};
  std::mutex threadMutex_;
  std::thread thread_;
};

// The whole percentage shown after the block at `offset` of an image of `size` bytes (1..100).
int ProgressPercent(std::uint32_t offset, std::uint32_t size);

}  // namespace kavori::device
