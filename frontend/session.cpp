#include "frontend/session.hpp"

#include <QCryptographicHash>
#include <QtGlobal>
#include <filesystem>
#include <utility>

#include "platform/host_platform.hpp"
#include "sim/simulated_world.hpp"

namespace kavori::frontend {

bool SimulationFromEnvironment(std::optional<sim::SimOptions>& simulate, std::string& error) {
  simulate.reset();
  if (!qEnvironmentVariableIsSet(kSimulateVariable)) return true;
  const QByteArray value = qgetenv(kSimulateVariable);
  std::string parseError;
  simulate = sim::ParseSimOptions(std::string_view(value.constData(), value.size()), parseError);
  if (simulate) return true;
  error = std::string(kSimulateVariable) + ": " + parseError;
  return false;
}

std::string CurrentDirectory() {
  std::error_code failed;
  const std::filesystem::path directory = std::filesystem::current_path(failed);
  return failed ? std::string() : directory.string();
}

Session::Session(wizard::WizardView& view, std::string firmwareDirectory,
                 std::optional<sim::SimOptions> simulate, platform::Pauses pauses)
    // First: a poster that cannot be made ends the start before any device service exists.
    : poster_(std::make_unique<QtUiPoster>()), view_(view), firmwareDirectory_(firmwareDirectory) {
  platform::Platform services;
  if (simulate) {
    world_ = std::make_unique<sim::SimulatedWorld>(std::move(*simulate));
    services = world_->Services();
    // The simulated services say nothing themselves; the device link still does.
    services.diagnostics = &diagnostics_;
  } else {
    host_ = platform::host::MakeHostPlatform(&diagnostics_);
    services = host_->Services();
  }
  services.pauses = pauses;
  link_ = std::make_unique<device::DeviceLink>(services);
  wizard_ = std::make_unique<wizard::Wizard>(view, *poster_, *link_, firmwareDirectory_);
}

Session::~Session() {
  End();
  wizard_.reset();
  link_.reset();
  poster_.reset();
}

wizard::Wizard& Session::NextWizard() {
  // Torn down first: nothing the old wizard's workers posted reaches the view afterwards.
  wizard_->Teardown();
  wizard_ = std::make_unique<wizard::Wizard>(view_, *poster_, *link_, firmwareDirectory_);
  return *wizard_;
}

void Session::End() {
  if (wizard_) wizard_->Teardown();
  if (poster_) poster_->Stop();
}

std::vector<std::string> Session::ShownValues() const {
  const device::DeviceInfoRecord device = link_->DeviceInfo();
  const firmware::FirmwareInfo& file = wizard_->Information();
  return {device.ProductString.data(),
          device.SerialString.data(),
          file.fileName,
          file.fileVersion,
          file.deviceVersion,
          file.partNumber,
          file.serialNumber};
}

std::optional<SimulatedDevice> Session::DescribeSimulatedDevice() const {
  if (!world_) return std::nullopt;
  const std::optional<sim::DeviceSnapshot> snapshot = world_->Snapshot(0);
  if (!snapshot) return std::nullopt;
  SimulatedDevice device;
  device.present = snapshot->present;
  device.loaderMode = snapshot->loaderMode;
  device.productId = snapshot->productId;
  device.release = snapshot->release;
  const QByteArrayView flash(snapshot->flash.data(),
                             static_cast<qsizetype>(snapshot->flash.size()));
  device.flashSha256 =
      QCryptographicHash::hash(flash, QCryptographicHash::Sha256).toHex().toStdString();
  return device;
}

}  // namespace kavori::frontend
