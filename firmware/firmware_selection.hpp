// Chooses the firmware file for the connected device among the "*.hex" entries of a directory.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kavori::firmware {

enum class FirmwareSearchResult { Suitable, NoFile, InvalidFile, TypeError, TargetError };

// The information page's texts for a suitable file.
struct FirmwareInfo {
  std::string fileName;       // entry name, without the directory
  std::string fileVersion;    // "%d.%0.2d.%0.2d" of the image's version word
  std::string deviceVersion;  // the same of the device's VersionWord
  std::string partNumber;     // serial characters 0..9
  std::string serialNumber;   // XXXX-XX-XXXXXX from serial characters 10..21
};

// What the selection knows of the connected device.
struct TargetDevice {
  // The serial string narrowed to 8-bit characters; positions 0..21 are read as raw bytes,
  // whether or not the string ended before them.
  std::array<char, 256> serialString{};
  // Product id in bits 31..16, release number in bits 15..0.
  std::uint32_t versionWord = 0;
};

// Tries the entries ending in ".hex" of `directory` in byte order of their names; the first
// suitable one stays loaded and later entries are not opened. Every other result leaves no image
// loaded; among failures the last entry tried decides. Unloads any image left loaded first.
// A directory or full path that does not fit 512 characters (NUL included) is not searched or
// not loadable respectively. Runs on the UI thread.
FirmwareSearchResult SelectFirmware(const std::string& directory, const TargetDevice& device,
                                    FirmwareInfo& info);

// 3-bit compatibility value of a product code against a device serial string; 7 means suitable.
// Reads characters 0..17 of the product code and 0..21 of the serial field as raw bytes, NULs
// included; 0 when either pointer is null.
int CompatibilityValue(const char* productCode, const char* serial);
// "%d.%0.2d.%0.2d" of bits 23..16, 15..8 and 7..0.
std::string VersionText(std::uint32_t versionWord);

}  // namespace kavori::firmware
