// Gathers what the run log keeps of one device while its run goes on. Both front ends feed it the
// steps the wizard enters and the pages it shows, and ask it for the record when the device's run
// ends. UI thread only.
#pragma once

#include <QElapsedTimer>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "frontend/run_record.hpp"
#include "wizard/wizard.hpp"

namespace kavori::frontend {

class RunRecorder {
 public:
  // `frontEnd`: the tool's name, as the record gives it. `firmwareDirectory`: where the chosen
  // image lies, for its path.
  RunRecorder(std::string frontEnd, bool simulated, std::string firmwareDirectory);

  // A device's run begins, just before Wizard::Start: forgets the last device and starts the
  // clock of this one.
  void Begin();
  // The wizard entered `step`. Entering the step the run is on already starts no new one.
  void StepEntered(unsigned step);

  // What PageShown kept that it had not before; null for nothing new.
  struct Kept {
    const TargetReport* target = nullptr;
    const ImageReport* image = nullptr;
  };
  // The page of `step` as it stands, Next enabled when `next`: the device search that offers
  // Next has accepted the device, the firmware search that offers it has chosen the image. Each
  // is kept once.
  Kept PageShown(const wizard::Wizard& wizard, unsigned step, bool next);

  // How the device's run ended with `exitCode` on the page of `step`, the status line saying
  // `status`.
  ResultReport Result(const wizard::Wizard& wizard, int exitCode, unsigned step,
                      std::string status) const;
  // The run log's record of the device that ended with `result`; `diagnostics`: the lines the
  // front end showed during the run. Before Wizard::Teardown, which forgets the device.
  LogRecord Record(const wizard::Wizard& wizard, const ResultReport& result,
                   std::vector<std::string> diagnostics) const;

 private:
  const std::string frontEnd_;
  const bool simulated_;
  const std::string firmwareDirectory_;
  QElapsedTimer clock_;  // since the device's run began
  std::optional<TargetReport> target_;
  std::optional<ImageReport> image_;
  std::vector<std::pair<unsigned, double>> stepEntries_;  // each step entered and when
};

}  // namespace kavori::frontend
