// What the firmware search would make of every "*.hex" entry of a folder, for people who ask why
// none of their files was chosen. Read-only: every image it loads is released again.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "firmware/firmware_selection.hpp"

namespace kavori::firmware {

struct FolderReport {
  // Every entry in the order the search tries them, judged as the search judges it.
  std::vector<EntryVerdict> entries;
  // The entry the wizard would load (the first suitable one); none without a device.
  std::optional<std::size_t> chosen;
  // What the search would end with; meaningful with a device only.
  FirmwareSearchResult result = FirmwareSearchResult::NoFile;
  int listError = 0;  // errno when the folder cannot be listed
};

// Without a device the images are checked but not matched ("valid image"). Each file is opened
// once. Any thread.
FolderReport ReportFirmwareFolder(const std::string& directory,
                                  const std::optional<TargetDevice>& device);

}  // namespace kavori::firmware
