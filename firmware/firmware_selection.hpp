// Chooses the firmware file for the connected device among the "*.hex" entries of a directory.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

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

// The entries of `directory` ending in ".hex", in the order the search tries them (byte order of
// their names); empty when the directory cannot be listed or its path does not fit 512 characters.
std::vector<std::string> ImageEntries(const std::string& directory);

// Why a product code does or does not suit a serial string, in the compatibility value's terms:
// the first differing prefix position, else the first number out of its range, else "suitable".
std::string CompatibilityReason(const char* productCode, const char* serial);

// 3-bit compatibility value of a product code against a device serial string; 7 means suitable.
// Reads characters 0..17 of the product code and 0..21 of the serial field as raw bytes, NULs
// included; 0 when either pointer is null.
int CompatibilityValue(const char* productCode, const char* serial);
// "%d.%0.2d.%0.2d" of bits 23..16, 15..8 and 7..0.
std::string VersionText(std::uint32_t versionWord);

}  // namespace kavori::firmware
