#include "firmware/firmware_image.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "firmware/product_ids.hpp"

namespace kavori::firmware {

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

std::string LoadError::Text() const {
  char text[96];
  switch (check) {
    case Check::PathTooLong:
      return "not loadable: its path is longer than 511 characters";
    case Check::Open:
      switch (file.kind) {
        case platform::FileError::Kind::NotRegular:
          return "cannot be opened: not a regular file";
        case platform::FileError::Kind::Locked:
          return file.error != 0 ? std::string("cannot be locked: ") + std::strerror(file.error)
                                 : "cannot be opened: locked by another program";
        case platform::FileError::Kind::Open:
        case platform::FileError::Kind::Examine:
          break;
      }
      return std::string("cannot be opened: ") + std::strerror(file.error);
    case Check::TooLarge:
      std::snprintf(text, sizeof text,
                    "not loadable: %llu bytes, more than the %llu MiB an image may have",
                    static_cast<unsigned long long>(size),
                    static_cast<unsigned long long>(kMaxImageSize >> 20));
      return text;
    case Check::Magic:
      if (size < 2) return "not loadable: too short";
      std::snprintf(text, sizeof text, "not loadable: magic %02X %02X, not 08 AA", magic[0],
                    magic[1]);
      return text;
    case Check::NoMemory:
      return "not loadable: no memory for its bytes";
    case Check::ShortRead:
      return error != 0
                 ? std::string("not loadable: could not be read in full: ") + std::strerror(error)
                 : "not loadable: could not be read in full";
    case Check::Changed:
      return "not loadable: it changed while it was read";
  }
  return {};
}

FirmwareImage::FirmwareImage(std::unique_ptr<std::uint8_t[]> bytes, std::uint32_t size,
                             std::unique_ptr<platform::ExclusiveFile> file)
    : bytes_(std::move(bytes)), size_(size), file_(std::move(file)) {}

FirmwareImage::FirmwareImage(FirmwareImage&& other) noexcept { *this = std::move(other); }

FirmwareImage& FirmwareImage::operator=(FirmwareImage&& other) noexcept {
  if (this == &other) return *this;
  bytes_ = std::move(other.bytes_);
  size_ = std::exchange(other.size_, 0);
  file_ = std::move(other.file_);
  fileVersionWord_ = other.fileVersionWord_;
  std::memcpy(productCode_, other.productCode_, sizeof productCode_);
  return *this;
}

FirmwareImage::~FirmwareImage() = default;

platform::Result<FirmwareImage, LoadError> LoadFirmwareFile(const std::string& path) {
  using platform::Fail;
  LoadError error;
  auto opened = platform::ExclusiveFile::Open(path);
  if (!opened) {
    error.file = opened.error();
    return Fail(error);
  }
  std::unique_ptr<platform::ExclusiveFile> file = std::move(opened).value();
  error.size = file->Size();
  if (error.size > kMaxImageSize) {
    error.check = LoadError::Check::TooLarge;
    return Fail(error);
  }
  const auto size = static_cast<std::uint32_t>(error.size);

  // A file shorter than the magic leaves zeros here and so fails the check.
  file->ReadFromStart(error.magic, sizeof error.magic);
  if (error.magic[0] != kMagic[0] || error.magic[1] != kMagic[1]) {
    error.check = LoadError::Check::Magic;
    return Fail(error);
  }

  std::unique_ptr<std::uint8_t[]> bytes(new (std::nothrow) std::uint8_t[size]);
  if (!bytes) {
    error.check = LoadError::Check::NoMemory;
    return Fail(error);
  }
  // A file truncated or rewritten under the read can yield zeros or a mix of two files.
  const platform::ReadOutcome read = file->ReadFromStart(bytes.get(), size);
  if (read.count != size) {
    error.check = LoadError::Check::ShortRead;
    error.error = read.error;
    return Fail(error);
  }
  if (file->ChangedSinceOpen()) {
    error.check = LoadError::Check::Changed;
    return Fail(error);
  }
  return FirmwareImage(std::move(bytes), size, std::move(file));
}

int FirmwareImage::Scan() { return ScanImageBytes(Bytes(), fileVersionWord_, productCode_); }

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
