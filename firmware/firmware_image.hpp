// The firmware image: a whole file read into memory and held locked, and the two things inside it
// that say what it is for (the device descriptor's product id and release, and the 22-character
// product code).
//
// Thread contract: a FirmwareImage is a value with one owner at a time. The firmware search loads
// it on its worker, the wizard keeps it, the programming run takes it and releases it on its
// thread; moving it hands it over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/file.hpp"
#include "platform/result.hpp"

namespace kavori::firmware {

inline constexpr std::size_t kProductCodeLength = 22;
// No Kavori image comes near this; a larger file is refused before a byte of it is read, so that a
// stray huge "*.hex" cannot fill the memory.
inline constexpr std::uint64_t kMaxImageSize = 64ull << 20;

// Why a file could not be loaded: the first check it failed.
struct LoadError {
  enum class Check {
    PathTooLong,  // the full path does not fit the search's 512-character buffer
    Open,         // not opened (`file` says why)
    TooLarge,     // larger than kMaxImageSize (`size`)
    Magic,        // does not begin with 0x08 0xAA (`magic`, `size`)
    NoMemory,     // no memory for its bytes
    ShortRead,    // could not be read whole (`error`, the errno, when the system gave one)
    Changed,      // changed while it was read
  };
  Check check = Check::Open;
  platform::FileError file;
  std::uint64_t size = 0;
  std::uint8_t magic[2] = {0, 0};
  int error = 0;

  // "cannot be opened: Permission denied", "not loadable: magic 4D 5A, not 08 AA", ...
  std::string Text() const;
};

class FirmwareImage {
 public:
  // A moved-from image holds no bytes.
  FirmwareImage(FirmwareImage&& other) noexcept;
  FirmwareImage& operator=(FirmwareImage&& other) noexcept;
  FirmwareImage(const FirmwareImage&) = delete;
  FirmwareImage& operator=(const FirmwareImage&) = delete;
  ~FirmwareImage();

  std::span<const std::uint8_t> Bytes() const { return {bytes_.get(), size_}; }
  std::uint32_t Size() const { return size_; }
  // Product id in bits 23..16, bcdDevice in bits 15..0; set by a successful Scan.
  std::uint32_t FileVersionWord() const { return fileVersionWord_; }
  // NUL-terminated; set by a successful Scan, empty before.
  const char* ProductCode() const { return productCode_; }
  // ScanFirmwareImage on this image: 0 when an accepted device descriptor and a string descriptor
  // after it were found, else -3.
  int Scan();

 private:
  friend platform::Result<FirmwareImage, LoadError> LoadFirmwareFile(const std::string& path);
  FirmwareImage(std::unique_ptr<std::uint8_t[]> bytes, std::uint32_t size,
                std::unique_ptr<platform::ExclusiveFile> file);

  std::unique_ptr<std::uint8_t[]> bytes_;
  std::uint32_t size_ = 0;
  std::unique_ptr<platform::ExclusiveFile> file_;  // held open and locked while loaded
  std::uint32_t fileVersionWord_ = 0;
  char productCode_[kProductCodeLength + 1] = {};
};

// Loads the whole file, locked for as long as the image lives. Refused when it cannot be opened or
// is locked by another open, is larger than kMaxImageSize, lacks the magic 0x08 0xAA, cannot be
// read whole, or changed while it was read (as far as ExclusiveFile::ChangedSinceOpen sees). A
// failure keeps nothing of the file. Any thread.
platform::Result<FirmwareImage, LoadError> LoadFirmwareFile(const std::string& path);

// The scan itself, on any bytes: 0 or -3; versionWord and productCode are written only as the
// scan finds them. Never reads outside `image`.
int ScanImageBytes(std::span<const std::uint8_t> image, std::uint32_t& versionWord,
                   char (&productCode)[kProductCodeLength + 1]);

}  // namespace kavori::firmware
