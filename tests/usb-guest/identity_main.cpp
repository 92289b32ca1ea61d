// kavori-identity: what the real stack says about the one Kavori present, as key=value lines on
// stdout, for the guest test to compare with the gadget's configuration. The device link gives
// the identity the wizard uses; the HID backend gives the strings before they are narrowed, as
// UTF-16LE hex. Exit 0, or 1 when the link cannot be opened.
#include <array>
#include <cstdio>
#include <memory>
#include <string>

#include "device/device_info.hpp"
#include "device/device_link.hpp"
#include "firmware/product_ids.hpp"
#include "platform/hid.hpp"
#include "platform/host_platform.hpp"

namespace {

using namespace kavori;

// The UTF-16LE bytes up to the terminating zero unit.
std::string Utf16Hex(const std::array<std::uint8_t, platform::kHidStringFieldSize>& field) {
  std::string hex;
  for (std::size_t k = 0; k + 1 < field.size() && (field[k] != 0 || field[k + 1] != 0); k += 2) {
    char pair[8];
    std::snprintf(pair, sizeof pair, "%02x%02x", field[k], field[k + 1]);
    hex += pair;
  }
  return hex;
}

std::string BytesHex(const char* text) {
  std::string hex;
  for (; *text != '\0'; ++text) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(*text));
    hex += byte;
  }
  return hex;
}

void PrintRawStrings(platform::HidBackend& hid) {
  for (const std::string& path : hid.EnumerateInterfaces()) {
    const auto handle = hid.Open(path);
    platform::HidAttributes attributes;
    if (!handle || !handle->GetAttributes(attributes) || attributes.vendorId != firmware::kVendorId)
      continue;
    std::array<std::uint8_t, platform::kHidStringFieldSize> serial{};
    std::array<std::uint8_t, platform::kHidStringFieldSize> product{};
    const bool haveSerial = handle->GetSerialNumberString(serial.data(), serial.size() - 1);
    const bool haveProduct = handle->GetProductString(product.data(), product.size() - 1);
    std::printf("path=%s\n", path.c_str());
    std::printf("vendor_id=0x%04x\n", attributes.vendorId);
    std::printf("release=0x%04x\n", attributes.releaseNumber);
    std::printf("serial_utf16le=%s\n", haveSerial ? Utf16Hex(serial).c_str() : "(failed)");
    std::printf("product_utf16le=%s\n", haveProduct ? Utf16Hex(product).c_str() : "(failed)");
  }
}

}  // namespace

int main() {
  const std::unique_ptr<platform::host::HostPlatform> host = platform::host::MakeHostPlatform();
  device::DeviceLink link(host->Services());
  const int opened = link.OpenDeviceLink();
  std::printf("open=%d\n", opened);
  if (opened != 0) return 1;
  const device::DeviceInfoRecord info = link.DeviceInfo();
  std::printf("product_id=0x%04x\n", info.ProductId);
  std::printf("version_word=0x%08x\n", info.VersionWord);
  std::printf("product_narrowed=%s\n", BytesHex(info.ProductString.data()).c_str());
  std::printf("serial_narrowed=%s\n", BytesHex(info.SerialString.data()).c_str());
  std::printf("input_length=%u\n", link.InputReportLength());
  std::printf("output_length=%u\n", link.OutputReportLength());
  link.CloseDeviceLink();
  PrintRawStrings(*host->Services().hid);
  return 0;
}
