// The programming run: enter programming mode, download the image in acknowledged 56-byte
// blocks with progress, burn, verify, restart; then release the link and the image.
#pragma once

#include <cstdint>
#include <string>

namespace kavori::device {

// Receives the run's reports. Called on the run thread: implementations hand the work to their
// UI thread and return at once, never waiting for it.
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  // A new status-line text.
  virtual void RunStatus(const std::string& text) = 0;
  // A new status-line text that reports the download's progress, `percent` 1..100.
  virtual void RunProgress(int percent, const std::string& text) = 0;
  // The run has ended, everything released and ProgrammingActive cleared: advance the wizard.
  virtual void RunFinished() = 0;
};

// Starts the run on its own thread. ProgrammingActive is set before the thread exists, so that
// nothing can end the dialog between the start and the run itself. False (ProgrammingActive
// cleared again) when no thread could be created. UI thread.
bool StartProgrammingRun(RunObserver& observer);
// Waits for a started run's thread to end. Harmless when none was started. UI thread.
void JoinProgrammingRun();

// The run's body (the thread routine).
void ProgrammingRun(RunObserver& observer);
// Sends the whole loaded image as data blocks. 0 when every block was acknowledged, -2 at the
// first that was not (after showing its offset).
int DownloadImage(RunObserver& observer);
// The whole percentage shown after the block at `offset` of an image of `size` bytes (1..100).
int ProgressPercent(std::uint32_t offset, std::uint32_t size);

}  // namespace kavori::device
