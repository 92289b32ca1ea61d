#include "cli/simulated_device.hpp"

#include <QCryptographicHash>

namespace kavori::cli {

std::optional<DeviceReport> DescribeSimulatedDevice(const sim::SimulatedWorld& world) {
  const std::optional<sim::DeviceSnapshot> snapshot = world.Snapshot(0);
  if (!snapshot) return std::nullopt;
  DeviceReport report;
  report.present = snapshot->present;
  report.loaderMode = snapshot->loaderMode;
  report.productId = snapshot->productId;
  report.release = snapshot->release;
  const QByteArrayView flash(snapshot->flash.data(),
                             static_cast<qsizetype>(snapshot->flash.size()));
  report.flashSha256 =
      QCryptographicHash::hash(flash, QCryptographicHash::Sha256).toHex().toStdString();
  return report;
}

}  // namespace kavori::cli
