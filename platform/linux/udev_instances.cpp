#include "platform/linux/udev_instances.hpp"

#include <libudev.h>

#include <cstdio>
#include <memory>

namespace kavori::platform::host {
namespace {

std::string_view TrimWhiteSpace(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n\v\f";
  const std::size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(kSpace);
  return text.substr(first, last - first + 1);
}

std::optional<unsigned> ParseHex16(std::string_view text) {
  text = TrimWhiteSpace(text);
  if (text.empty() || text.size() > 4) return std::nullopt;
  unsigned value = 0;
  for (const char c : text) {
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    value = value * 16 + digit;
  }
  return value;
}

std::string_view OrEmpty(const char* text) { return text != nullptr ? text : std::string_view(); }

struct UdevUnref {
  void operator()(udev* context) const { udev_unref(context); }
  void operator()(udev_enumerate* enumeration) const { udev_enumerate_unref(enumeration); }
  void operator()(udev_device* device) const { udev_device_unref(device); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevUnref>;

}  // namespace

std::optional<std::string> BuildInstancePath(std::string_view idVendor, std::string_view idProduct,
                                             std::string_view serial, std::string_view sysname) {
  const std::optional<unsigned> vendor = ParseHex16(idVendor);
  const std::optional<unsigned> product = ParseHex16(idProduct);
  if (!vendor || !product) return std::nullopt;
  char ids[32];
  std::snprintf(ids, sizeof(ids), "USB\\VID_%04X&PID_%04X\\", *vendor, *product);
  const std::string_view trimmedSerial = TrimWhiteSpace(serial);
  const std::string_view instance = trimmedSerial.empty() ? TrimWhiteSpace(sysname) : trimmedSerial;
  return std::string(ids) + std::string(instance);
}

std::nullopt_t UdevDeviceInstanceList::Unreadable(const char* why) {
  if (diagnostics_ != nullptr)
    diagnostics_->Add({std::string("udev: ") + why, false, std::nullopt});
  return std::nullopt;
}

std::optional<std::vector<std::string>> UdevDeviceInstanceList::Read() {
  const UdevPtr<udev> context(udev_new());
  if (!context) return Unreadable("udev cannot be used");
  const UdevPtr<udev_enumerate> enumeration(udev_enumerate_new(context.get()));
  if (!enumeration) return Unreadable("udev cannot enumerate devices");
  if (udev_enumerate_add_match_subsystem(enumeration.get(), "hid") < 0 ||
      udev_enumerate_scan_devices(enumeration.get()) < 0) {
    return Unreadable("scanning the hid subsystem failed");
  }

  std::vector<std::string> paths;
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumeration.get())) {
    const UdevPtr<udev_device> hid(
        udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
    // A device that went away between the scan and now is simply no longer listed.
    if (!hid) continue;
    // Owned by `hid`, not to be unreferenced.
    udev_device* usb =
        udev_device_get_parent_with_subsystem_devtype(hid.get(), "usb", "usb_device");
    if (usb == nullptr) continue;
    std::optional<std::string> path =
        BuildInstancePath(OrEmpty(udev_device_get_sysattr_value(usb, "idVendor")),
                          OrEmpty(udev_device_get_sysattr_value(usb, "idProduct")),
                          OrEmpty(udev_device_get_sysattr_value(usb, "serial")),
                          OrEmpty(udev_device_get_sysname(usb)));
    if (path) paths.push_back(std::move(*path));
  }
  return paths;
}

}  // namespace kavori::platform::host
