// The reference of the download row on a real USB stack (run in the USB guest by
// scripts/test-usb-guest bench): the product's download as a bare loop on hidapi. It opens the
// Kavori in loader mode, writes the same reports as the product (enter programming mode, then
// the file in 56-byte blocks), reads each reply on the same handle and takes the product's 1 ms
// pause after each new percentage. The gadget times the blocks, as it does for the product.
//
//   kavori-raw-download IMAGE      exit 0 when every report was acknowledged
#include <hidapi/hidapi.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "device/programming_run.hpp"
#include "device/protocol.hpp"
#include "firmware/product_ids.hpp"

namespace {

constexpr int kReplyBoundMs = 5000;

// The Kavori's first interface in loader mode, or nullptr.
hid_device* OpenLoader() {
  hid_device_info* all = hid_enumerate(kavori::firmware::kVendorId, 0);
  hid_device* device = nullptr;
  for (hid_device_info* d = all; d != nullptr && device == nullptr; d = d->next) {
    if (kavori::firmware::IsLoaderModeId(d->product_id)) device = hid_open_path(d->path);
  }
  hid_free_enumeration(all);
  return device;
}

// Writes the report and returns the reply code, or -1 when none came. The gadget's input reports
// are unnumbered, so hidapi hands them over without an id byte: the code comes first.
int Exchange(hid_device* device,
             const std::array<std::uint8_t, kavori::device::kReportLength>& report) {
  if (hid_write(device, report.data(), report.size()) != static_cast<int>(report.size())) return -1;
  std::array<std::uint8_t, kavori::device::kReportLength - 1> reply{};
  return hid_read_timeout(device, reply.data(), reply.size(), kReplyBoundMs) > 0 ? reply[0] : -1;
}

bool Download(hid_device* device, const std::vector<std::uint8_t>& image) {
  namespace dev = kavori::device;
  std::array<std::uint8_t, dev::kReportLength> report{};
  std::copy(dev::kReportHeader.begin(), dev::kReportHeader.end(), report.begin());
  report[dev::kReportCommand] = dev::CmdEnterProgramming;
  report[dev::kReportCount] = 1;
  if (Exchange(device, report) != dev::ReplyAck) return false;
  report[dev::kReportCommand] = dev::CmdDataBlock;
  int lastShown = 0;
  for (std::size_t offset = 0; offset < image.size(); offset += dev::kBlockSize) {
    const std::size_t n = std::min(dev::kBlockSize, image.size() - offset);
    dev::FrameDataBlock(report, offset, std::span(image).subspan(offset, n));
    if (Exchange(device, report) != dev::ReplyAck) return false;
    const int percent = dev::ProgressPercent(static_cast<std::uint32_t>(offset),
                                             static_cast<std::uint32_t>(image.size()));
    if (percent != lastShown) {
      lastShown = percent;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kavori-raw-download IMAGE\n");
    return 64;
  }
  std::ifstream file(argv[1], std::ios::binary);
  std::vector<std::uint8_t> image;
  if (file) image.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  if (!file || image.empty()) {
    std::fprintf(stderr, "kavori-raw-download: cannot read %s\n", argv[1]);
    return 1;
  }
  if (hid_init() != 0) return 1;
  hid_device* device = OpenLoader();
  if (device == nullptr) {
    std::fprintf(stderr, "kavori-raw-download: no Kavori in loader mode\n");
    hid_exit();
    return 1;
  }
  const bool ok = Download(device, image);
  hid_close(device);
  hid_exit();
  if (!ok) std::fprintf(stderr, "kavori-raw-download: a report was not acknowledged\n");
  return ok ? 0 : 1;
}
