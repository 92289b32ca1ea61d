#include "firmware/firmware_selection.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "firmware/firmware_image.hpp"
#include "platform/file.hpp"
#include "platform/pause.hpp"

namespace kavori::firmware {
namespace {

// Working buffers of the search: the directory and each full path must fit, NUL included.
constexpr std::size_t kPathCapacity = 512;
constexpr std::string_view kImageSuffix = ".hex";
constexpr int kSuitable = 7;

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads the two characters x, y as atoi reads "xy": leading white space, an optional sign, then
// digits up to the first non-digit; no digits read as 0. Independent of the process locale.
int ReadNumber(char x, char y) {
  const char text[2] = {x, y};
  std::size_t at = 0;
  while (at < 2 && IsSpace(text[at])) ++at;
  bool negative = false;
  if (at < 2 && (text[at] == '+' || text[at] == '-')) {
    negative = text[at] == '-';
    ++at;
  }
  int value = 0;
  while (at < 2 && IsDigit(text[at])) value = value * 10 + (text[at++] - '0');
  return negative ? -value : value;
}

bool InRange(int lower, int value, int upper) { return lower <= value && value <= upper; }

// A NUL among the copied characters ends the text.
std::string TextUpToNul(const char* chars, std::size_t count) {
  return std::string(chars, std::find(chars, chars + count, '\0'));
}

}  // namespace

std::vector<std::string> ImageEntries(const std::string& directory) {
  std::vector<std::string> entries;
  if (directory.size() + 1 > kPathCapacity) return entries;
  auto names = platform::ListDirectory(directory);
  if (!names) return entries;
  for (auto& name : *names) {
    if (name.ends_with(kImageSuffix)) entries.push_back(std::move(name));
  }
  // The directory lists in no particular order; the outcome must not depend on it.
  std::sort(entries.begin(), entries.end());
  return entries;
}

int CompatibilityValue(const char* productCode, const char* serial) {
  if (productCode == nullptr || serial == nullptr) return 0;
  int value = 0;
  if (std::memcmp(productCode, serial, 6) == 0) value += 4;
  if (InRange(ReadNumber(productCode[10], productCode[11]), ReadNumber(serial[8], serial[9]),
              ReadNumber(productCode[12], productCode[13]))) {
    value += 1;
  }
  if (InRange(ReadNumber(productCode[14], productCode[15]), ReadNumber(serial[14], serial[15]),
              ReadNumber(productCode[16], productCode[17]))) {
    value += 2;
  }
  return value;
}

std::string CompatibilityReason(const char* productCode, const char* serial) {
  if (productCode == nullptr || serial == nullptr) return "no product code or serial";
  for (int k = 0; k < 6; ++k) {
    if (productCode[k] != serial[k]) {
      char text[96];
      std::snprintf(
          text, sizeof text, "product code rejected at position %d: file has 0x%02X, serial 0x%02X",
          k, static_cast<unsigned char>(productCode[k]), static_cast<unsigned char>(serial[k]));
      return text;
    }
  }
  const struct {
    const char* name;
    int lower, value, upper;
  } numbers[] = {
      {"A (serial 8-9)", ReadNumber(productCode[10], productCode[11]),
       ReadNumber(serial[8], serial[9]), ReadNumber(productCode[12], productCode[13])},
      {"B (serial 14-15)", ReadNumber(productCode[14], productCode[15]),
       ReadNumber(serial[14], serial[15]), ReadNumber(productCode[16], productCode[17])},
  };
  for (const auto& number : numbers) {
    if (!InRange(number.lower, number.value, number.upper)) {
      return "serial out of range: number " + std::string(number.name) + " is " +
             std::to_string(number.value) + ", the file takes " + std::to_string(number.lower) +
             " to " + std::to_string(number.upper);
    }
  }
  return "suitable";
}

std::string VersionText(std::uint32_t versionWord) {
  char text[16];
  // Each byte in decimal, the last two with at least two digits: 11.02.03, 5.01.16.
  std::snprintf(text, sizeof text, "%d.%.2d.%.2d", static_cast<int>(versionWord >> 16 & 0xFF),
                static_cast<int>(versionWord >> 8 & 0xFF), static_cast<int>(versionWord & 0xFF));
  return text;
}

FirmwareSearchResult SelectFirmware(const std::string& directory, const TargetDevice& device,
                                    FirmwareInfo& info) {
  // Keeps "no image loaded after a failure" true even for a caller that did not unload.
  UnloadFirmwareFile();

  const std::vector<std::string> entries = ImageEntries(directory);
  if (entries.empty()) return FirmwareSearchResult::NoFile;

  const char* serial = device.serialString.data();
  FirmwareSearchResult failure = FirmwareSearchResult::InvalidFile;
  for (std::size_t k = 0; k < entries.size(); ++k) {
    if (k > 0) platform::Pause(1);
    const std::string& name = entries[k];
    const std::string path = directory + "/" + name;
    if (path.size() + 1 > kPathCapacity || LoadFirmwareFile(path.c_str()) == -1) {
      failure = FirmwareSearchResult::InvalidFile;
      continue;
    }
    if (ScanFirmwareImage() != 0) {
      UnloadFirmwareFile();
      failure = FirmwareSearchResult::TypeError;
      continue;
    }
    if (CompatibilityValue(FirmwareImage.productCode, serial) != kSuitable) {
      UnloadFirmwareFile();
      failure = FirmwareSearchResult::TargetError;
      continue;
    }
    info.fileName = name;
    info.fileVersion = VersionText(FirmwareImage.fileVersionWord);
    info.deviceVersion = VersionText(device.versionWord);
    info.partNumber = TextUpToNul(serial, 10);
    const char serialNumber[14] = {serial[10], serial[11], serial[12], serial[13], '-',
                                   serial[14], serial[15], '-',        serial[16], serial[17],
                                   serial[18], serial[19], serial[20], serial[21]};
    info.serialNumber = TextUpToNul(serialNumber, sizeof serialNumber);
    return FirmwareSearchResult::Suitable;
  }
  return failure;
}

}  // namespace kavori::firmware
