#include "firmware/firmware_image.hpp"

#include <array>
#include <cstring>
#include <limits>
#include <new>

#include "firmware/product_ids.hpp"
#include "platform/file.hpp"

namespace kavori::firmware {

FirmwareImageState FirmwareImage;

namespace {

constexpr std::uint8_t kMagic[2] = {0x08, 0xAA};

// The USB device descriptor from bLength to the high byte of idVendor, one descriptor byte per
// 16-bit word, ending before that last byte's (zero) high byte.
constexpr std::array<std::uint8_t, 19> kDevicePattern = {0x12, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02,
                                                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                         0x40, 0x00, 0xEF, 0x00, 0x0B};

// High byte of the word before, bLength 46, its high byte, bDescriptorType 3 (string).
constexpr std::array<std::uint8_t, 4> kStringHeader = {0x00, 0x2E, 0x00, 0x03};

// Pattern offsets 19..26 follow the pattern's last byte: the product id word and bcdDevice.
constexpr std::size_t kDescriptorTail = 8;

std::uint32_t ReadLe32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

// A normal-mode product id as it reads with the zero high bytes around it (00 id 00 00); the
// loader-mode ids are not firmware targets.
bool IsAcceptedProductWord(std::uint32_t word) {
  return (word & 0xFFFF00FFu) == 0 && IsNormalModeId(static_cast<std::uint16_t>(word >> 8));
}

}  // namespace

int LoadFirmwareFile(const char* path) {
  if (path == nullptr) return -1;
  auto file = platform::ExclusiveFile::Open(path);
  if (!file) return -1;
  if (file->Size() > std::numeric_limits<std::uint32_t>::max()) return -1;
  const auto size = static_cast<std::uint32_t>(file->Size());

  // A file shorter than the magic leaves zeros here and so fails the check.
  std::uint8_t magic[2] = {0, 0};
  file->ReadFromStart(magic, sizeof magic);
  if (magic[0] != kMagic[0] || magic[1] != kMagic[1]) return -1;

  std::unique_ptr<std::uint8_t[]> bytes;
  try {
    bytes = std::make_unique<std::uint8_t[]>(size);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  // A file truncated or rewritten under the read can yield zeros or a mix of two files.
  if (file->ReadFromStart(bytes.get(), size) != size || file->ChangedSinceOpen()) return -1;

  // Replacing an image that a careless caller left loaded releases it instead of leaking it.
  const int handle = file->Handle();
  FirmwareImage.bytes = std::move(bytes);
  FirmwareImage.size = size;
  FirmwareImage.file = std::move(file);
  return handle;
}

int ScanFirmwareImage() {
  return ScanImageBytes(FirmwareImage.Bytes(), FirmwareImage.fileVersionWord,
                        FirmwareImage.productCode);
}

int UnloadFirmwareFile() {
  FirmwareImage.file.reset();
  FirmwareImage.bytes.reset();
  FirmwareImage.size = 0;
  return 0;
}

int ScanImageBytes(std::span<const std::uint8_t> image, std::uint32_t& versionWord,
                   char (&productCode)[kProductCodeLength + 1]) {
  const std::size_t size = image.size();
  if (size <= sizeof kMagic) return -3;

  std::size_t d = 0;
  std::size_t s = 0;
  bool deviceFound = false;
  bool stringFound = false;

  for (std::size_t i = sizeof kMagic; i < size; ++i) {
    // Outside a match, and while no string header is sought, only the pattern's first byte can
    // change anything: skip to it.
    if (d == 0 && (stringFound || !deviceFound)) {
      const void* next = std::memchr(image.data() + i, kDevicePattern[0], size - i);
      if (next == nullptr) break;
      i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(next) - image.data());
    }
    const std::uint8_t b = image[i];
    if (b == kDevicePattern[d]) {
      if (++d == kDevicePattern.size()) {
        d = 0;
        // A match whose product id and bcdDevice would lie past the end counts as rejected.
        const bool tailInside = size - 1 - i >= kDescriptorTail;
        if (tailInside && IsAcceptedProductWord(ReadLe32(image, i + 1))) {
          versionWord = static_cast<std::uint32_t>(image[i + 2]) << 16 |
                        static_cast<std::uint32_t>(image[i + 8]) << 8 | image[i + 6];
          deviceFound = true;
          i += 5;
        } else {
          i += 1;
          if (i >= size) break;
        }
      }
    } else {
      d = b == kDevicePattern[0] ? 1 : 0;
    }

    // The product code comes from the first header after the first accepted descriptor. A
    // mismatch restarts on that byte alone, so 00 2E 00 2E 00 03 is not a header.
    if (deviceFound && !stringFound) {
      const std::uint8_t c = image[i];
      if (c == kStringHeader[s]) {
        ++s;
      } else {
        s = c == kStringHeader[0] ? 1 : 0;
      }
      if (s == kStringHeader.size()) {
        // Character j is the low byte of the j-th code unit; those past the end stay '_'.
        for (std::size_t j = 0; j < kProductCodeLength; ++j) {
          const std::size_t at = i + 2 + 4 * j;
          productCode[j] = at < size ? static_cast<char>(image[at]) : '_';
        }
        productCode[kProductCodeLength] = '\0';
        stringFound = true;
        s = 0;
      }
    }
  }
  return deviceFound && stringFound ? 0 : -3;
}

}  // namespace kavori::firmware
