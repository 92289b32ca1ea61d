#include "device/device_count.hpp"

#include <string>

#include "device/device_link.hpp"
#include "device/results.hpp"

namespace kavori::device {

namespace {
// Each entry is read into a 256-byte buffer with its terminating zero.
constexpr std::size_t kEntryBufferSize = 256;
constexpr int kNoCountPointer = -2;
constexpr int kListUnreadable = -3;
}  // namespace

int CountConnectedDevices(std::uint32_t* count) {
  if (count == nullptr) return kNoCountPointer;
  platform::DeviceInstanceList* list = InstalledPlatform().instances;
  if (list == nullptr) return kListUnreadable;
  const auto entries = list->Read();
  if (!entries) return kListUnreadable;

  std::uint32_t matches = 0;
  for (const std::string& entry : *entries) {
    if (entry.size() >= kEntryBufferSize) return kListUnreadable;
    std::string lowered = entry.substr(0, entry.find('\0'));
    for (char& c : lowered) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (lowered.find("usb\\vid_0bef") != std::string::npos) ++matches;
  }
  *count = matches;
  return kOk;
}

}  // namespace kavori::device
