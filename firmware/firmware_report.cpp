#include "firmware/firmware_report.hpp"

#include <cstdio>

#include "firmware/firmware_image.hpp"
#include "platform/file.hpp"

namespace kavori::firmware {

namespace {

// The same bound as the search's path buffer, NUL included.
constexpr std::size_t kPathCapacity = 512;

// Why LoadFirmwareFile refused `path`, asked again without keeping anything open.
std::string WhyNotLoadable(const std::string& path, std::optional<std::uint64_t>& size) {
  const auto file = platform::ExclusiveFile::Open(path);
  if (!file)
    return "cannot be opened: not a regular file, no permission, or locked by another program";
  size = file->Size();
  if (*size > 0xFFFFFFFFu) return "not loadable: larger than 4 GiB";
  std::uint8_t magic[2] = {0, 0};
  if (file->ReadFromStart(magic, sizeof magic) < sizeof magic) return "not loadable: too short";
  if (magic[0] != 0x08 || magic[1] != 0xAA) {
    char text[64];
    std::snprintf(text, sizeof text, "not loadable: magic %02X %02X, not 08 AA", magic[0],
                  magic[1]);
    return text;
  }
  return "not loadable: could not be read in full";
}

FileReport ReportFile(const std::string& directory, const std::string& name,
                      const std::optional<TargetDevice>& device) {
  FileReport report;
  report.name = name;
  const std::string path = directory + "/" + name;
  if (path.size() + 1 > kPathCapacity) {
    report.verdict = "not loadable: its path is longer than 511 characters";
    return report;
  }
  if (LoadFirmwareFile(path.c_str()) == -1) {
    report.verdict = WhyNotLoadable(path, report.size);
    return report;
  }
  report.size = FirmwareImage.size;
  const int scan = ScanFirmwareImage();
  UnloadFirmwareFile();
  if (scan != 0) {
    report.verdict = "no Kavori product id with a product code after it in the image";
    return report;
  }
  report.valid = true;
  report.productCode = FirmwareImage.productCode;
  report.fileVersion = VersionText(FirmwareImage.fileVersionWord);
  if (!device) {
    report.verdict = "valid image";
    return report;
  }
  const char* serial = device->serialString.data();
  report.suitable = CompatibilityValue(FirmwareImage.productCode, serial) == 7;
  report.verdict = CompatibilityReason(FirmwareImage.productCode, serial);
  return report;
}

}  // namespace

std::vector<FileReport> ReportFirmwareFolder(const std::string& directory,
                                             const std::optional<TargetDevice>& device) {
  UnloadFirmwareFile();
  std::vector<FileReport> reports;
  bool chosen = false;
  for (const std::string& name : ImageEntries(directory)) {
    reports.push_back(ReportFile(directory, name, device));
    if (!chosen && reports.back().suitable) {
      reports.back().chosen = true;
      chosen = true;
    }
  }
  return reports;
}

}  // namespace kavori::firmware
