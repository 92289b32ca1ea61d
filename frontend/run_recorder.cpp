#include "frontend/run_recorder.hpp"

#include <QCryptographicHash>
#include <QDateTime>
#include <span>

#include "firmware/firmware_selection.hpp"
#include "frontend/exit_codes.hpp"

namespace kavori::frontend {

namespace {

double Seconds(const QElapsedTimer& clock) {
  return static_cast<double>(clock.nsecsElapsed()) / 1e9;
}

// The device as the link knows it now.
TargetReport Target(const wizard::Wizard& wizard) {
  const device::DeviceInfoRecord device = wizard.DeviceIdentity();
  TargetReport target;
  target.productId = device.ProductId;
  target.loaderMode = wizard.DeviceInLoader();
  target.release = static_cast<std::uint16_t>(device.VersionWord & 0xFFFF);
  target.version = firmware::VersionText(device.VersionWord);
  target.serial = device.SerialString.data();
  target.partNumber = target.serial.substr(0, 10);
  return target;
}

}  // namespace

RunRecorder::RunRecorder(std::string frontEnd, bool simulated, std::string firmwareDirectory)
    : frontEnd_(std::move(frontEnd)),
      simulated_(simulated),
      firmwareDirectory_(std::move(firmwareDirectory)) {}

void RunRecorder::Begin() {
  target_.reset();
  image_.reset();
  stepEntries_.clear();
  clock_.start();
}

void RunRecorder::StepEntered(unsigned step) {
  if (!stepEntries_.empty() && stepEntries_.back().first == step) return;
  stepEntries_.emplace_back(step, Seconds(clock_));
}

RunRecorder::Kept RunRecorder::PageShown(const wizard::Wizard& wizard, unsigned step, bool next) {
  Kept kept;
  if (!next) return kept;
  if (step == static_cast<unsigned>(wizard::Step::DeviceSearch) && !target_) {
    target_ = Target(wizard);
    kept.target = &*target_;
  }
  const firmware::FirmwareImage* image = wizard.ChosenImage();
  if (step == static_cast<unsigned>(wizard::Step::FirmwareSearch) && image && !image_) {
    const firmware::FirmwareInfo& info = wizard.Information();
    const std::span<const std::uint8_t> bytes = image->Bytes();
    ImageReport report;
    report.path = firmwareDirectory_ + "/" + info.fileName;
    report.size = image->Size();
    report.sha256 =
        QCryptographicHash::hash(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())),
                                 QCryptographicHash::Sha256)
            .toHex()
            .toStdString();
    report.productCode = image->ProductCode();
    report.version = info.fileVersion;
    image_ = std::move(report);
    kept.image = &*image_;
  }
  return kept;
}

ResultReport RunRecorder::Result(const wizard::Wizard& wizard, int exitCode, unsigned step,
                                 std::string status) const {
  ResultReport result;
  result.serial = wizard.DeviceIdentity().SerialString.data();
  result.outcome = exitCode == kExitProgrammed       ? Outcome::Ok
                   : exitCode == kExitVersionRefused ? Outcome::Refused
                                                     : Outcome::Failed;
  result.exitCode = exitCode;
  if (exitCode != kExitProgrammed) result.failedStep = step;
  result.status = std::move(status);
  result.seconds = Seconds(clock_);
  return result;
}

LogRecord RunRecorder::Record(const wizard::Wizard& wizard, const ResultReport& result,
                              std::vector<std::string> diagnostics) const {
  LogRecord record;
  record.result = result;
  record.time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString();
  record.frontEnd = frontEnd_;
  record.simulated = simulated_;
  record.before = target_;
  record.after = Target(wizard);
  record.image = image_;
  // Each step's seconds: from its entry to the next one's, the last to the end.
  for (std::size_t k = 0; k < stepEntries_.size(); ++k) {
    const double until = k + 1 < stepEntries_.size() ? stepEntries_[k + 1].second : result.seconds;
    record.stepSeconds.emplace_back(stepEntries_[k].first, until - stepEntries_[k].second);
  }
  record.diagnostics = std::move(diagnostics);
  return record;
}

}  // namespace kavori::frontend
