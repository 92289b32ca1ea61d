#include "device/device_count.hpp"

#include <string>

#include "device/results.hpp"

namespace kavori::device {

namespace {
// Each entry is read into a 256-byte buffer with its terminating zero.
constexpr std::size_t kEntryBufferSize = 256;
constexpr int kNoCountPointer = -2;
constexpr int kListUnreadable = -3;

void Note(const platform::Platform& services, std::string text) {
  if (services.diagnostics != nullptr)
    services.diagnostics->Add({std::move(text), false, std::nullopt});
}
}  // namespace

int CountConnectedDevices(const platform::Platform& services, std::uint32_t* count,
                          std::vector<std::string>* counted) {
  if (count == nullptr) return kNoCountPointer;
  platform::DeviceInstanceList* list = services.instances;
  const auto entries = list != nullptr ? list->Read() : std::nullopt;
  if (!entries) {
    Note(services, "the list of USB HID devices cannot be read");
    return kListUnreadable;
  }

  std::vector<std::string> matched;
  for (const std::string& entry : *entries) {
    if (entry.size() >= kEntryBufferSize) {
      Note(services, "an entry of the list of USB HID devices is too long to read");
      return kListUnreadable;
    }
    std::string lowered = entry.substr(0, entry.find('\0'));
    for (char& c : lowered) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (lowered.find("usb\\vid_0bef") != std::string::npos) matched.push_back(entry);
  }
  if (matched.empty()) {
    Note(services, "no device of vendor 0x0BEF among the " + std::to_string(entries->size()) +
                       " USB HID devices listed");
  } else if (matched.size() > 1) {
    std::string listed;
    for (const std::string& entry : matched) listed += (listed.empty() ? "" : ", ") + entry;
    Note(services,
         std::to_string(matched.size()) + " devices of vendor 0x0BEF are listed: " + listed);
  }
  *count = static_cast<std::uint32_t>(matched.size());
  if (counted != nullptr) *counted = std::move(matched);
  return kOk;
}

}  // namespace kavori::device
