// Chooses the firmware file for the connected device among the "*.hex" entries of a directory.
// The wizard's search and the diagnose report judge entries with the same functions, so they
// cannot disagree.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "firmware/firmware_image.hpp"
#include "platform/pause.hpp"
#include "platform/result.hpp"

namespace kavori::firmware {

enum class FirmwareSearchResult { Suitable, NoFile, InvalidFile, TypeError, TargetError };

// The information page's texts for a suitable file.
struct FirmwareInfo {
  std::string fileName;       // entry name, without the directory
  std::string fileVersion;    // "%d.%0.2d.%0.2d" of the image's version word
  std::string deviceVersion;  // the same of the device's VersionWord
  std::string partNumber;     // serial characters 0..9
  std::string serialNumber;   // XXXX-XX-XXXXXX from serial characters 10..21
  // The words the two versions are the texts of, for a front end that compares them.
  std::uint32_t fileVersionWord = 0;
  std::uint32_t deviceVersionWord = 0;
};

// What the selection knows of the connected device.
struct TargetDevice {
  // The serial string narrowed to 8-bit characters; positions 0..21 are read as raw bytes,
  // whether or not the string ended before them.
  std::array<char, 256> serialString{};
  // Product id in bits 31..16, release number in bits 15..0.
  std::uint32_t versionWord = 0;
};

// How a product code fares against a serial string.
struct Compatibility {
  struct Range {
    const char* name;  // which serial characters
    int lower, value, upper;
    bool Holds() const { return lower <= value && value <= upper; }
  };
  // 3-bit value: 4 when the first 6 characters agree, 1 and 2 for numbers A and B in range;
  // 7 means suitable; 0 when either text is missing.
  int value = 0;
  bool missing = false;     // no product code or no serial
  int prefixPosition = -1;  // the first of characters 0..5 that differs, -1 when none does
  unsigned char fileChar = 0;
  unsigned char serialChar = 0;
  Range numberA{"A (serial 8-9)", 0, 0, 0};
  Range numberB{"B (serial 14-15)", 0, 0, 0};

  bool Suitable() const { return value == 7; }
  // The first failing test in words, or "suitable".
  std::string Text() const;
};

// Reads characters 0..17 of the product code and 0..21 of the serial field as raw bytes, NULs
// included.
Compatibility CheckCompatibility(const char* productCode, const char* serial);
// CheckCompatibility(...).value.
int CompatibilityValue(const char* productCode, const char* serial);
// "%d.%0.2d.%0.2d" of bits 23..16, 15..8 and 7..0.
std::string VersionText(std::uint32_t versionWord);

// The entries of `directory` ending in ".hex", in the order the search tries them (byte order of
// their names); the errno when it cannot be listed, ENAMETOOLONG when its path does not fit 512
// characters.
platform::Result<std::vector<std::string>, int> ImageEntries(const std::string& directory);

// How one entry fared, in the order of the checks the search makes.
struct EntryVerdict {
  enum class Kind {
    NotLoadable,  // `loadError` says why
    TypeError,    // loaded, but no Kavori product id with a product code after it
    Valid,        // a Kavori image, not matched against a device
    Unsuitable,   // `compatibility` says why
    Suitable,
  };
  std::string name;
  Kind kind = Kind::NotLoadable;
  std::optional<LoadError> loadError;
  std::optional<std::uint64_t> size;  // once opened
  std::string productCode;            // Valid, Unsuitable, Suitable
  std::uint32_t fileVersionWord = 0;  // Valid, Unsuitable, Suitable
  Compatibility compatibility;        // Unsuitable, Suitable

  // "suitable", "valid image", or why the entry is passed over.
  std::string Text() const;
};

// Loads and checks `directory`/`name`; without a device the image is checked but not matched.
// The image stays loaded only when it suits the device.
struct JudgedEntry {
  EntryVerdict verdict;
  std::optional<FirmwareImage> image;
};
JudgedEntry JudgeEntry(const std::string& directory, const std::string& name,
                       const TargetDevice* device);

// The search's result after the entries judged so far (none: NoFile): the first suitable entry
// decides, else the last one tried.
FirmwareSearchResult SearchResultOf(const std::vector<EntryVerdict>& tried);

struct FirmwareSelection {
  FirmwareSearchResult result = FirmwareSearchResult::NoFile;
  std::optional<FirmwareImage> image;  // loaded and locked when Suitable
  FirmwareInfo info;                   // when Suitable
  bool stopped = false;                // `stop` came before the search ended
};

// SelectFirmware: tries the entries of `directory` in byte order of their names, pausing 1 ms
// between two; the first suitable one stays loaded and later entries are not opened. `visit`, when
// given, sees each verdict as it is reached. A stop request ends the search before the next entry.
// Any thread but the UI thread (it pauses and reads whole files).
FirmwareSelection SelectFirmware(const std::string& directory, const TargetDevice& device,
                                 const platform::Pauses& pauses, std::stop_token stop = {},
                                 const std::function<void(const EntryVerdict&)>& visit = {});

// SelectFirmware with the one entry `name` of `directory` as the only candidate: a file the user
// named, judged exactly as the search judges each entry, whatever its name ends in.
FirmwareSelection SelectNamedFirmware(const std::string& directory, const std::string& name,
                                      const TargetDevice& device, std::stop_token stop = {});

}  // namespace kavori::firmware
