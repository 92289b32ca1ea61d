// The firmware image: a whole file read into memory, and the two things inside it that say what
// it is for (the device descriptor's product id and release, and the 22-character product code).
//
// Thread contract: loaded and scanned on the UI thread; the programming run reads the bytes and
// unloads it on its thread. The wizard's order of steps keeps the two apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace kavori::platform {
class ExclusiveFile;
}

namespace kavori::firmware {

inline constexpr std::size_t kProductCodeLength = 22;

struct FirmwareImageState {
  std::unique_ptr<std::uint8_t[]> bytes;  // exactly `size` bytes while loaded; null otherwise
  std::uint32_t size = 0;
  std::unique_ptr<platform::ExclusiveFile> file;  // held open and locked while loaded
  // Product id in bits 23..16, bcdDevice in bits 15..0 (set by a successful scan, kept by unload).
  std::uint32_t fileVersionWord = 0;
  char productCode[kProductCodeLength + 1] = {};  // set by a successful scan, kept by unload

  std::span<const std::uint8_t> Bytes() const { return {bytes.get(), bytes ? size : 0}; }
};

extern FirmwareImageState FirmwareImage;

// Loads the whole file. Returns its handle (not -1) or -1 when it cannot be opened, is locked by
// another open, is 4 GiB or larger, lacks the magic 0x08 0xAA, cannot be read whole, or changed
// while it was read (as far as ExclusiveFile::ChangedSinceOpen sees). A failure keeps nothing of
// the file. Callers unload first; a successful load releases any image still loaded, a failed one
// leaves it as it was.
int LoadFirmwareFile(const char* path);
// 0 when an accepted device descriptor and a string descriptor after it were found, else -3.
int ScanFirmwareImage();
// Releases the image and closes its file. Always 0; harmless when nothing is loaded.
int UnloadFirmwareFile();

// The scan itself, on any bytes: the same result; versionWord and productCode are written only
// as the scan finds them. Never reads outside `image`.
int ScanImageBytes(std::span<const std::uint8_t> image, std::uint32_t& versionWord,
                   char (&productCode)[kProductCodeLength + 1]);

}  // namespace kavori::firmware
