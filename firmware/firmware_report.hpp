// What the firmware search would make of every "*.hex" entry of a folder, for people who ask why
// none of their files was chosen. Read-only: every image it loads is released again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "firmware/firmware_selection.hpp"

namespace kavori::firmware {

struct FileReport {
  std::string name;
  std::optional<std::uint64_t> size;  // nullopt when the entry could not be opened
  bool valid = false;                 // loaded and scanned: a Kavori image
  std::string productCode;            // when valid
  std::string fileVersion;            // when valid, as the information page shows it
  // "suitable", or why the entry is passed over: not loadable (and why), no product id or code
  // in the image, or the compatibility check's first failing test.
  std::string verdict;
  bool suitable = false;
  bool chosen = false;  // the entry the wizard would load: the first suitable one
};

// The entries in the order the search tries them. Without a device the images are checked but
// not matched ("valid image"). Leaves no image loaded. UI thread (it uses the process's image).
std::vector<FileReport> ReportFirmwareFolder(const std::string& directory,
                                             const std::optional<TargetDevice>& device);

}  // namespace kavori::firmware
