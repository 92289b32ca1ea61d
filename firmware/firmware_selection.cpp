#include "firmware/firmware_selection.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/file.hpp"

namespace kavori::firmware {
namespace {

// Working buffers of the search: the directory and each full path must fit, NUL included.
constexpr std::size_t kPathCapacity = 512;
constexpr std::string_view kImageSuffix = ".hex";

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

// A NUL among the copied characters ends the text.
std::string TextUpToNul(const char* chars, std::size_t count) {
  return std::string(chars, std::find(chars, chars + count, '\0'));
}

}  // namespace

platform::Result<std::vector<std::string>, int> ImageEntries(const std::string& directory) {
  if (directory.size() + 1 > kPathCapacity) return platform::Fail(ENAMETOOLONG);
  auto names = platform::ListDirectory(directory);
  if (!names) return platform::Fail(names.error());
  std::vector<std::string> entries;
  for (auto& name : names.value()) {
    if (name.ends_with(kImageSuffix)) entries.push_back(std::move(name));
  }
  // The directory lists in no particular order; the outcome must not depend on it.
  std::sort(entries.begin(), entries.end());
  return entries;
}

Compatibility CheckCompatibility(const char* productCode, const char* serial) {
  Compatibility c;
  if (productCode == nullptr || serial == nullptr) {
    c.missing = true;
    return c;
  }
  for (int k = 0; k < 6 && c.prefixPosition < 0; ++k) {
    if (productCode[k] != serial[k]) {
      c.prefixPosition = k;
      c.fileChar = static_cast<unsigned char>(productCode[k]);
      c.serialChar = static_cast<unsigned char>(serial[k]);
    }
  }
  c.numberA.lower = ReadNumber(productCode[10], productCode[11]);
  c.numberA.value = ReadNumber(serial[8], serial[9]);
  c.numberA.upper = ReadNumber(productCode[12], productCode[13]);
  c.numberB.lower = ReadNumber(productCode[14], productCode[15]);
  c.numberB.value = ReadNumber(serial[14], serial[15]);
  c.numberB.upper = ReadNumber(productCode[16], productCode[17]);
  c.value =
      (c.prefixPosition < 0 ? 4 : 0) + (c.numberA.Holds() ? 1 : 0) + (c.numberB.Holds() ? 2 : 0);
  return c;
}

int CompatibilityValue(const char* productCode, const char* serial) {
  return CheckCompatibility(productCode, serial).value;
}

std::string Compatibility::Text() const {
  if (missing) return "no product code or serial";
  if (prefixPosition >= 0) {
    char text[96];
    std::snprintf(text, sizeof text,
                  "product code rejected at position %d: file has 0x%02X, serial 0x%02X",
                  prefixPosition, fileChar, serialChar);
    return text;
  }
  for (const Range& number : {numberA, numberB}) {
    if (!number.Holds()) {
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

std::string EntryVerdict::Text() const {
  switch (kind) {
    case Kind::NotLoadable:
      return loadError ? loadError->Text() : "not loadable";
    case Kind::TypeError:
      return "no Kavori product id with a product code after it in the image";
    case Kind::Valid:
      return "valid image";
    case Kind::Unsuitable:
    case Kind::Suitable:
      return compatibility.Text();
  }
  return {};
}

JudgedEntry JudgeEntry(const std::string& directory, const std::string& name,
                       const TargetDevice* device) {
  JudgedEntry judged;
  EntryVerdict& verdict = judged.verdict;
  verdict.name = name;
  const std::string path = directory + "/" + name;
  if (path.size() + 1 > kPathCapacity) {
    verdict.loadError = LoadError{};
    verdict.loadError->check = LoadError::Check::PathTooLong;
    return judged;
  }
  auto loaded = LoadFirmwareFile(path);
  if (!loaded) {
    verdict.loadError = loaded.error();
    if (verdict.loadError->check != LoadError::Check::Open) verdict.size = verdict.loadError->size;
    return judged;
  }
  FirmwareImage image = std::move(loaded).value();
  verdict.size = image.Size();
  if (image.Scan() != 0) {
    verdict.kind = EntryVerdict::Kind::TypeError;
    return judged;
  }
  verdict.productCode = image.ProductCode();
  verdict.fileVersionWord = image.FileVersionWord();
  if (device == nullptr) {
    verdict.kind = EntryVerdict::Kind::Valid;
    return judged;
  }
  verdict.compatibility = CheckCompatibility(image.ProductCode(), device->serialString.data());
  if (!verdict.compatibility.Suitable()) {
    verdict.kind = EntryVerdict::Kind::Unsuitable;
    return judged;
  }
  verdict.kind = EntryVerdict::Kind::Suitable;
  judged.image = std::move(image);
  return judged;
}

FirmwareSearchResult SearchResultOf(const std::vector<EntryVerdict>& tried) {
  for (const EntryVerdict& verdict : tried) {
    if (verdict.kind == EntryVerdict::Kind::Suitable) return FirmwareSearchResult::Suitable;
  }
  if (tried.empty()) return FirmwareSearchResult::NoFile;
  switch (tried.back().kind) {
    case EntryVerdict::Kind::NotLoadable:
      return FirmwareSearchResult::InvalidFile;
    case EntryVerdict::Kind::TypeError:
      return FirmwareSearchResult::TypeError;
    case EntryVerdict::Kind::Valid:  // not matched, so never chosen
    case EntryVerdict::Kind::Unsuitable:
    case EntryVerdict::Kind::Suitable:
      break;
  }
  return FirmwareSearchResult::TargetError;
}

namespace {

// Tries `names` in order; the first suitable one stays loaded.
FirmwareSelection SelectAmong(const std::string& directory, const std::vector<std::string>& names,
                              const TargetDevice& device, const platform::Pauses& pauses,
                              std::stop_token stop,
                              const std::function<void(const EntryVerdict&)>& visit) {
  FirmwareSelection selection;
  const char* serial = device.serialString.data();
  std::vector<EntryVerdict> tried;
  for (const std::string& name : names) {
    if (!tried.empty()) pauses.Pause(1);
    if (stop.stop_requested()) {
      selection.stopped = true;
      break;
    }
    JudgedEntry judged = JudgeEntry(directory, name, &device);
    if (visit) visit(judged.verdict);
    tried.push_back(std::move(judged.verdict));
    if (!judged.image) continue;
    selection.image = std::move(judged.image);
    FirmwareInfo& info = selection.info;
    info.fileName = name;
    info.fileVersion = VersionText(selection.image->FileVersionWord());
    info.deviceVersion = VersionText(device.versionWord);
    info.fileVersionWord = selection.image->FileVersionWord();
    info.deviceVersionWord = device.versionWord;
    info.partNumber = TextUpToNul(serial, 10);
    const char serialNumber[14] = {serial[10], serial[11], serial[12], serial[13], '-',
                                   serial[14], serial[15], '-',        serial[16], serial[17],
                                   serial[18], serial[19], serial[20], serial[21]};
    info.serialNumber = TextUpToNul(serialNumber, sizeof serialNumber);
    break;
  }
  selection.result = SearchResultOf(tried);
  return selection;
}

}  // namespace

FirmwareSelection SelectFirmware(const std::string& directory, const TargetDevice& device,
                                 const platform::Pauses& pauses, std::stop_token stop,
                                 const std::function<void(const EntryVerdict&)>& visit) {
  const auto entries = ImageEntries(directory);
  if (!entries) return {};
  return SelectAmong(directory, entries.value(), device, pauses, stop, visit);
}

FirmwareSelection SelectNamedFirmware(const std::string& directory, const std::string& name,
                                      const TargetDevice& device, std::stop_token stop) {
  // One entry: the pause between two entries never comes.
  return SelectAmong(directory, {name}, device, platform::Pauses{}, stop, {});
}

}  // namespace kavori::firmware
